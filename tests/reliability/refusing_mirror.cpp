#include "reliability/refusing_mirror.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/mount.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

namespace quillmere::testing {

namespace {

using namespace std::chrono_literals;

constexpr long kFuseMagic = 0x65735546;  // statfs f_type of a FUSE file system

bool isFuse(const std::string& path) {
  struct statfs info {};
  return ::statfs(path.c_str(), &info) == 0 && info.f_type == kFuseMagic;
}

void unmount(const std::string& mountPoint) {
  if (::umount2(mountPoint.c_str(), MNT_DETACH) == 0 || errno != EPERM) return;
  // An ordinary user's FUSE mount is undone by the helper that made it.
  const pid_t parent = ::getpid();
  ChildProcess helper(::fork());
  if (helper.pid() == 0) {
    dieWithTestProcess(parent);
    ::execlp("fusermount3", "fusermount3", "-u", "-z", mountPoint.c_str(), nullptr);
    ::_exit(127);
  }
  helper.wait(20s);
}

}  // namespace

std::unique_ptr<RefusingMirror> RefusingMirror::mount(const std::string& backing,
                                                      const std::string& mountPoint,
                                                      std::string& reason) {
  const std::string log = mountPoint + ".bindfs-errors";
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    reason = std::string("cannot fork: ") + std::strerror(errno);
    return nullptr;
  }
  if (pid == 0) {
    dieWithTestProcess(parent);
    // Nothing of ctest's output pipe may stay open in a file system server.
    const int null = ::open("/dev/null", O_RDWR);
    const int errors = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (null < 0 || errors < 0 || ::dup2(null, 0) < 0 || ::dup2(null, 1) < 0 ||
        ::dup2(errors, 2) < 0) {
      ::_exit(126);
    }
    ::execlp("bindfs", "bindfs", "-f", backing.c_str(), mountPoint.c_str(), nullptr);
    ::_exit(127);
  }
  ChildProcess bindfs(pid);
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!isFuse(mountPoint)) {
    if (const auto ended = bindfs.poll()) {
      reason = *ended == 127 ? "bindfs is not installed"
                             : "bindfs could not mount (status " + std::to_string(*ended) + ")";
      return nullptr;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      reason = "bindfs did not mount within 20 s";
      return nullptr;
    }
    std::this_thread::sleep_for(10ms);
  }
  std::unique_ptr<RefusingMirror> mirror(new RefusingMirror(mountPoint, std::move(bindfs)));
  // The point of the mirror is its refusal; a bindfs that learnt the flag would prove nothing.
  const std::string probe = mountPoint + "/.probe";
  std::filesystem::create_directory(probe);
  const int renamed = ::renameat2(AT_FDCWD, probe.c_str(), AT_FDCWD, (probe + "-renamed").c_str(),
                                  RENAME_NOREPLACE);
  const int error = errno;
  std::filesystem::remove(renamed == 0 ? probe + "-renamed" : probe);
  if (renamed == 0 || error != EINVAL) {
    reason = "bindfs here does not refuse RENAME_NOREPLACE with EINVAL";
    return nullptr;
  }
  return mirror;
}

RefusingMirror::~RefusingMirror() {
  unmount(m_mountPoint);
  // bindfs ends once its file system is unmounted; should it not, the owner kills it.
  m_bindfs.wait(20s);
}

}  // namespace quillmere::testing
