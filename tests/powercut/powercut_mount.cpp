#include "powercut/powercut_mount.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

#include "support/temp_dir.h"

namespace quillmere::testing {

PowercutMount::PowercutMount(const std::string& backing, const std::string& images, long cutAt,
                             const std::string& report, const std::string& mountPoint) {
#ifndef QUILLMERE_POWERCUT_FS
  static_cast<void>(backing), static_cast<void>(images), static_cast<void>(cutAt);
  static_cast<void>(report), static_cast<void>(mountPoint);
  m_error = "built without libfuse3";
#else
  const std::string cut = std::to_string(cutAt);
  const std::string errors = report + ".stderr";
  std::vector<char*> argv{const_cast<char*>(QUILLMERE_POWERCUT_FS),
                          const_cast<char*>(backing.c_str()),
                          const_cast<char*>(images.c_str()),
                          const_cast<char*>(cut.c_str()),
                          const_cast<char*>(report.c_str()),
                          const_cast<char*>(mountPoint.c_str()),
                          nullptr};
  int ready[2];
  if (::pipe2(ready, O_CLOEXEC) != 0)
    throw std::system_error(errno, std::generic_category(), "pipe");
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (pid == 0) {
    dieWithTestProcess(parent);
    const int err = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (err < 0 || ::dup2(ready[1], 1) < 0 || ::dup2(err, 2) < 0) ::_exit(120);
    ::execv(QUILLMERE_POWERCUT_FS, argv.data());
    ::_exit(122);
  }
  m_process = ChildProcess(pid);
  ::close(ready[1]);
  // The file system says "ready" once the kernel has handed it the mount; it ends without a word
  // when it cannot mount.
  std::string said;
  char c;
  while (said.size() < 16) {
    const ssize_t got = ::read(ready[0], &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 || c == '\n') break;
    said += c;
  }
  ::close(ready[0]);
  m_mounted = said == "ready";
  if (!m_mounted) {
    m_process.wait();
    m_error = readFile(errors);
  }
#endif
}

PowercutMount::~PowercutMount() {
  if (!m_mounted) return;
  // SIGTERM unmounts, forms the final crash states when no cut came, and ends the file system.
  ::kill(m_process.pid(), SIGTERM);
  m_process.wait();
}

}  // namespace quillmere::testing
