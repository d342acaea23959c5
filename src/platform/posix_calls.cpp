#include "platform/posix_calls.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "platform/system_error.h"

namespace quillmere::posix {

namespace {

constexpr std::size_t kCopyBufferSize = 1 << 20;
// The alignment of direct reads where the kernel does not tell it (statx without STATX_DIOALIGN,
// before Linux 6.1): a page satisfies every block device's logical block size.
constexpr std::size_t kPageAlignment = 4096;
// A file system that asks for more than this of direct reads is not worth their trouble.
constexpr std::size_t kLargestDirectAlignment = 1 << 16;

}  // namespace

int openRetrying(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

std::vector<std::string> entryNames(int dirFd, const std::string& path) {
  const int listFd = ::dup(dirFd);
  if (listFd < 0) throwSystemError(errno, "list", path);
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(listFd), ::closedir);
  if (!dir) {
    const int error = errno;
    ::close(listFd);
    throwSystemError(error, "list", path);
  }
  ::rewinddir(dir.get());
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
    errno = 0;
  }
  if (errno != 0) throwSystemError(errno, "list", path);
  return names;
}

FileStatus statusOf(const struct stat& info) {
  FileStatus status;
  status.isRegular = S_ISREG(info.st_mode);
  status.isDirectory = S_ISDIR(info.st_mode);
  status.isLink = S_ISLNK(info.st_mode);
  status.isStream = S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode);
  status.size = static_cast<std::int64_t>(info.st_size);
  status.device = static_cast<std::uint64_t>(info.st_dev);
  status.inode = static_cast<std::uint64_t>(info.st_ino);
  return status;
}

int statxOf(int dirFd, const char* name, int flags, FileStatus& status) {
  struct statx info {};
  if (::statx(dirFd, name, flags | AT_SYMLINK_NOFOLLOW | AT_STATX_SYNC_AS_STAT,
              STATX_BASIC_STATS | STATX_MNT_ID, &info) != 0) {
    if (errno != ENOSYS) return errno;
    // A kernel (or sandbox) without statx: what stat tells, and no mount, so nothing that needs
    // the mount can be proven.
    struct stat plain {};
    if (::fstatat(dirFd, name, &plain, flags | AT_SYMLINK_NOFOLLOW) != 0) return errno;
    status = statusOf(plain);
    status.modifiedSeconds = static_cast<std::int64_t>(plain.st_mtim.tv_sec);
    return 0;
  }
  const mode_t mode = info.stx_mode;
  status = FileStatus{};
  status.isRegular = S_ISREG(mode);
  status.isDirectory = S_ISDIR(mode);
  status.isLink = S_ISLNK(mode);
  status.isStream = S_ISFIFO(mode) || S_ISCHR(mode);
  status.size = static_cast<std::int64_t>(info.stx_size);
  status.device = static_cast<std::uint64_t>(makedev(info.stx_dev_major, info.stx_dev_minor));
  status.inode = static_cast<std::uint64_t>(info.stx_ino);
  if ((info.stx_mask & STATX_MNT_ID) != 0) status.mount = info.stx_mnt_id;
  status.modifiedSeconds = static_cast<std::int64_t>(info.stx_mtime.tv_sec);
  return 0;
}

std::string joined(const OpenFile& folder, const std::string& name) {
  return folder.path == "/" ? "/" + name : folder.path + "/" + name;
}

std::size_t copyChunkByReadWrite(OpenFile& from, std::uint64_t offset, OpenFile& to,
                                 std::size_t length) {
  const std::size_t size = std::min(length, kCopyBufferSize);
  const auto buffer = std::make_unique_for_overwrite<char[]>(size);
  ssize_t got;
  do {
    got = ::pread(from.fd.get(), buffer.get(), size, static_cast<off_t>(offset));
  } while (got < 0 && errno == EINTR);
  if (got < 0) throwSystemError(errno, "read", from.path);
  const char* next = buffer.get();
  std::size_t left = static_cast<std::size_t>(got);
  while (left > 0) {
    const ssize_t put = ::write(to.fd.get(), next, left);
    if (put < 0) {
      if (errno == EINTR) continue;
      throwSystemError(errno, "write", to.path);
    }
    next += put;
    left -= static_cast<std::size_t>(put);
  }
  return static_cast<std::size_t>(got);
}

std::optional<UncachedFile> openUncached(OpenFile& file) {
  std::size_t alignment = kPageAlignment;
  struct statx info {};
  if (::statx(file.fd.get(), "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, STATX_DIOALIGN, &info) ==
          0 &&
      (info.stx_mask & STATX_DIOALIGN) != 0) {
    // The file system's own answer; 0 is its way of saying it reads nothing past the cache.
    if (info.stx_dio_offset_align == 0 || info.stx_dio_mem_align == 0) return std::nullopt;
    alignment = std::max<std::size_t>(info.stx_dio_offset_align, info.stx_dio_mem_align);
  }
  if (alignment > kLargestDirectAlignment || (alignment & (alignment - 1)) != 0) {
    return std::nullopt;
  }
  // Reopened through the descriptor itself, not its path: the same file whatever the name
  // leads to by now. The flag cannot go on `file`'s own descriptor, whose reads of headers and
  // whose writes are not aligned.
  const std::string self = "/proc/self/fd/" + std::to_string(file.fd.get());
  UniqueFd fd(openRetrying(self.c_str(), O_RDONLY | O_DIRECT | O_NOCTTY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  struct stat opened {};
  struct stat original {};
  if (::fstat(fd.get(), &opened) != 0 || ::fstat(file.fd.get(), &original) != 0 ||
      opened.st_dev != original.st_dev || opened.st_ino != original.st_ino) {
    return std::nullopt;
  }
  return UncachedFile{OpenFile{std::move(fd), file.path, {}}, alignment};
}

}  // namespace quillmere::posix
