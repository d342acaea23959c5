#include "app/window_handoff.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "app/result_file.h"
#include "platform/system_error.h"

namespace quillmere {
namespace {

// The real path of the running program, or empty when the kernel does not tell it.
std::string ownPath() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof path) {
    if (n > 0) errno = ENAMETOOLONG;
    return {};
  }
  return std::string(path, static_cast<std::size_t>(n));
}

// The line written when `program` cannot be started for `error`, in the words of the program's
// other system errors.
std::string cannotStartWindowLine(const std::string& program, int error) {
  return "无法启动图形界面程序“" + program + "”：" + errnoText(error) + "\n";
}

}  // namespace

std::string windowProgramOf(const std::string& self) {
  const std::string folder = self.substr(0, self.rfind('/') + 1);
  const std::string beside = folder + std::string(kWindowProgramName);
  struct stat status {};
  if (::lstat(beside.c_str(), &status) == 0) return beside;
  // Said without "..", as the path a user would look for: /usr/libexec/..., not /usr/bin/../libexec.
  return std::filesystem::path(folder + QUILLMERE_WINDOW_FROM_BINDIR + "/" +
                               std::string(kWindowProgramName))
      .lexically_normal()
      .string();
}

int handOverToWindow(char** argv) {
  const std::string self = ownPath();
  if (self.empty()) {
    writeErrorLine(cannotStartWindowLine("/proc/self/exe", errno != 0 ? errno : ENOENT));
    return 1;
  }
  const std::string program = windowProgramOf(self);
  ::execv(program.c_str(), argv);
  writeErrorLine(cannotStartWindowLine(program, errno));
  return 1;
}

}  // namespace quillmere
