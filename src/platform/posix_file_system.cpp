#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/posix_calls.h"
#include "platform/system_error.h"

namespace quillmere {

namespace {

using posix::copyChunkByReadWrite;
using posix::entryNames;
using posix::joined;
using posix::openRetrying;
using posix::statusOf;
using posix::statxOf;

class PosixFileSystem final : public FileSystem {
 public:
  FileStatus status(const std::string& path) override {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) throwSystemError(errno, "examine", path);
    return statusOf(info);
  }

  FileStatus status(OpenFile& file) override {
    FileStatus status;
    const int error = statxOf(file.fd.get(), "", AT_EMPTY_PATH, status);
    if (error != 0) throwSystemError(error, "examine", file.path);
    return status;
  }

  FileStatus linkStatus(const std::string& path) override {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) throwSystemError(errno, "examine", path);
    return statusOf(info);
  }

  std::string readLink(const std::string& path) override {
    std::string target(256, '\0');
    for (;;) {
      const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
      if (length < 0) throwSystemError(errno, "read the link", path);
      if (static_cast<std::size_t>(length) < target.size()) {
        target.resize(static_cast<std::size_t>(length));
        return target;
      }
      target.resize(target.size() * 2);
    }
  }

  OpenFile openStreamForWriting(const std::string& path) override {
    // O_NONBLOCK for the open only: a FIFO without a reader fails at once (ENXIO) instead of
    // waiting for one forever.
    UniqueFd fd(openRetrying(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) throwSystemError(errno, "open", path);
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) throwSystemError(errno, "examine", path);
    if (!S_ISFIFO(info.st_mode) && !S_ISCHR(info.st_mode)) throwNotRegularFile(path);
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
      throwSystemError(errno, "open", path);
    }
    return OpenFile{std::move(fd), path, {}};
  }

  OpenFile openForReading(const std::string& path) override {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer forever.
    UniqueFd fd(openRetrying(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) throwSystemError(errno, "open", path);
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) throwSystemError(errno, "examine", path);
    if (S_ISDIR(info.st_mode)) throwSystemError(EISDIR, "open", path);
    if (!S_ISREG(info.st_mode)) throwNotRegularFile(path);
    return OpenFile{std::move(fd), path, statusOf(info)};
  }

  OpenFile openForAppending(const std::string& path) override {
    // O_NONBLOCK: should a FIFO have been swapped in at the path, the open must not wait for it.
    UniqueFd fd(
        openRetrying(path.c_str(), O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) throwSystemError(errno, "open", path);
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) throwSystemError(errno, "examine", path);
    if (!S_ISREG(info.st_mode)) throwNotRegularFile(path);
    return OpenFile{std::move(fd), path, {}};
  }

  OpenFile openStreamForReading(const std::string& path) override {
    // A blocking open on purpose: opening a FIFO without O_NONBLOCK waits for its writer, and so
    // does not race with a writer that opens it a moment after us. Opened without waiting, a
    // FIFO whose writer has not arrived yet would read as empty at once.
    UniqueFd fd(openRetrying(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
    if (!fd) throwSystemError(errno, "open", path);
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) throwSystemError(errno, "examine", path);
    if (S_ISDIR(info.st_mode)) throwSystemError(EISDIR, "open", path);
    return OpenFile{std::move(fd), path, {}};
  }

  OpenFile createExclusive(const std::string& path) override {
    UniqueFd fd(
        openRetrying(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666));
    if (!fd) throwSystemError(errno, "create", path);
    return OpenFile{std::move(fd), path, {}};
  }

  OpenFile openDirectory(const std::string& path) override {
    UniqueFd fd(openRetrying(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) throwSystemError(errno, "open", path);
    return OpenFile{std::move(fd), path, {}};
  }

  OpenFile openDirectoryToWorkIn(const std::string& path) override {
    UniqueFd fd(openRetrying(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd && errno == EACCES) {
      fd = UniqueFd(openRetrying(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    if (!fd) throwSystemError(errno, "open", path);
    return OpenFile{std::move(fd), path, {}};
  }

  std::size_t read(OpenFile& file, std::span<std::byte> buffer) override {
    for (;;) {
      const ssize_t got = ::read(file.fd.get(), buffer.data(), buffer.size());
      if (got >= 0) return static_cast<std::size_t>(got);
      if (errno != EINTR) throwSystemError(errno, "read", file.path);
    }
  }

  std::size_t readAt(OpenFile& file, std::uint64_t offset, std::span<std::byte> buffer) override {
    for (;;) {
      const ssize_t got =
          ::pread(file.fd.get(), buffer.data(), buffer.size(), static_cast<off_t>(offset));
      if (got >= 0) return static_cast<std::size_t>(got);
      if (errno != EINTR) throwSystemError(errno, "read", file.path);
    }
  }

  void adviseSequential(OpenFile& file) override {
    ::posix_fadvise(file.fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  }

  void dropCachedPages(OpenFile& file) override {
    ::posix_fadvise(file.fd.get(), 0, 0, POSIX_FADV_DONTNEED);
  }

  std::optional<UncachedFile> openUncached(OpenFile& file) override {
    return posix::openUncached(file);
  }

  void prefetch(OpenFile& file) override { ::posix_fadvise(file.fd.get(), 0, 0, POSIX_FADV_WILLNEED); }

  void writeAll(OpenFile& file, std::span<const std::byte> bytes) override {
    while (!bytes.empty()) {
      const ssize_t put = ::write(file.fd.get(), bytes.data(), bytes.size());
      if (put < 0) {
        if (errno == EINTR) continue;
        throwSystemError(errno, "write", file.path);
      }
      bytes = bytes.subspan(static_cast<std::size_t>(put));
    }
  }

  std::size_t copyChunk(OpenFile& from, std::uint64_t offset, OpenFile& to,
                        std::size_t length) override {
    for (;;) {
      loff_t in = static_cast<loff_t>(offset);
      const ssize_t copied = ::copy_file_range(from.fd.get(), &in, to.fd.get(), nullptr, length, 0);
      if (copied >= 0) return static_cast<std::size_t>(copied);
      if (errno == EINTR) continue;
      // A failed copy_file_range has moved nothing; file systems and kernels that cannot copy in
      // the kernel say so with one of these, and the plain loop does this chunk instead.
      if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP ||
          errno == EBADF) {
        return copyChunkByReadWrite(from, offset, to, length);
      }
      throwSystemError(errno, "write", to.path);
    }
  }

  void startWriteBack(OpenFile& file) override {
    // Advisory only: an error here would surface again, and be reported, by the later fsync.
    ::sync_file_range(file.fd.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
  }

  void sync(OpenFile& file) override {
    int rc;
    do {
      rc = ::fsync(file.fd.get());
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) throwSystemError(errno, "flush", file.path);
  }

  void renameReplace(const std::string& from, const std::string& to) override {
    if (::rename(from.c_str(), to.c_str()) != 0) {
      throwSystemError(errno, "move \"" + from + "\" to", to);
    }
  }

  void removeFile(const std::string& path) override {
    if (::unlink(path.c_str()) != 0) throwSystemError(errno, "remove", path);
  }

  void createDirectoryAt(OpenFile& folder, const std::string& name) override {
    if (::mkdirat(folder.fd.get(), name.c_str(), 0777) != 0) {
      throwCreationError(errno, folder.fd.get(), joined(folder, name));
    }
  }

  OpenFile openDirectoryAt(OpenFile& folder, const std::string& name) override {
    const std::string path = joined(folder, name);
    UniqueFd fd;
    do {
      fd = UniqueFd(
          ::openat(folder.fd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    } while (!fd && errno == EINTR);
    if (!fd) throwSystemError(errno, "open", path);
    return OpenFile{std::move(fd), path, {}};
  }

  OpenFile createExclusiveAt(OpenFile& folder, const std::string& name) override {
    const std::string path = joined(folder, name);
    UniqueFd fd;
    do {
      // Read and write: a staged copy is hashed back through the descriptor that wrote it.
      fd = UniqueFd(::openat(folder.fd.get(), name.c_str(),
                             O_RDWR | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666));
    } while (!fd && errno == EINTR);
    if (!fd) throwCreationError(errno, folder.fd.get(), path);
    return OpenFile{std::move(fd), path, {}};
  }

  bool tryRenameNoReplaceAt(OpenFile& folder, const std::string& from,
                            const std::string& to) override {
    const int dirFd = folder.fd.get();
    if (::renameat2(dirFd, from.c_str(), dirFd, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    // EINVAL is how a file system without the flag answers. A rename that is invalid in itself
    // (a folder into itself) answers the same, and fails again, with its own error, in the
    // caller's fallback.
    if (errno == EINVAL) return false;
    throwSystemError(errno, "move \"" + joined(folder, from) + "\" to", joined(folder, to));
  }

  std::optional<FileStatus> entryStatusAt(OpenFile& folder, const std::string& name) override {
    // An empty name would examine the folder itself; the caller asked for an entry.
    if (name.empty()) throwSystemError(ENOENT, "examine", joined(folder, name));
    FileStatus status;
    const int error = statxOf(folder.fd.get(), name.c_str(), 0, status);
    if (error == 0) return status;
    if (error == ENOENT) return std::nullopt;
    throwSystemError(error, "examine", joined(folder, name));
  }

  void renameAt(OpenFile& folder, const std::string& from, const std::string& to) override {
    const int dirFd = folder.fd.get();
    if (::renameat(dirFd, from.c_str(), dirFd, to.c_str()) != 0) {
      throwSystemError(errno, "move \"" + joined(folder, from) + "\" to", joined(folder, to));
    }
  }

  void removeFileAt(OpenFile& folder, const std::string& name) override {
    if (::unlinkat(folder.fd.get(), name.c_str(), 0) != 0) {
      throwSystemError(errno, "remove", joined(folder, name));
    }
  }

  void removeEmptyFolderAt(OpenFile& folder, const std::string& name) override {
    if (::unlinkat(folder.fd.get(), name.c_str(), AT_REMOVEDIR) != 0) {
      throwSystemError(errno, "remove", joined(folder, name));
    }
  }

  OpenFile openForReadingAt(OpenFile& folder, const std::string& name) override {
    const std::string path = joined(folder, name);
    // Looked at before it is opened: opening a device can have effects of its own (a tape
    // rewinds, a terminal becomes ours), and a link or FIFO has no business here either. The
    // open below checks again, for an entry swapped in meanwhile.
    struct stat info {};
    if (::fstatat(folder.fd.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      throwSystemError(errno, "open", path);
    }
    if (!S_ISREG(info.st_mode)) throwNotRegularFile(path);
    UniqueFd fd;
    do {
      fd = UniqueFd(::openat(folder.fd.get(), name.c_str(),
                             O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    } while (!fd && errno == EINTR);
    // A link swapped in after the look fails the open with ELOOP: not a regular file either.
    if (!fd && errno == ELOOP) throwNotRegularFile(path);
    if (!fd) throwSystemError(errno, "open", path);
    if (::fstat(fd.get(), &info) != 0) throwSystemError(errno, "examine", path);
    if (!S_ISREG(info.st_mode)) throwNotRegularFile(path);
    return OpenFile{std::move(fd), path, statusOf(info)};
  }

  std::vector<std::string> listEntries(OpenFile& folder) override {
    return entryNames(folder.fd.get(), folder.path);
  }

  bool tryLock(OpenFile& file, LockKind kind) override {
    const int operation = (kind == LockKind::shared ? LOCK_SH : LOCK_EX) | LOCK_NB;
    for (;;) {
      if (::flock(file.fd.get(), operation) == 0) return true;
      if (errno == EWOULDBLOCK) return false;
      if (errno != EINTR) throwSystemError(errno, "lock", file.path);
    }
  }

  void unlock(OpenFile& file) override { ::flock(file.fd.get(), LOCK_UN); }

  std::optional<std::uint64_t> freeSpace(OpenFile& folder) override {
    struct statvfs space {};
    if (::fstatvfs(folder.fd.get(), &space) != 0 || space.f_blocks == 0) return std::nullopt;
    return static_cast<std::uint64_t>(space.f_bavail) * space.f_frsize;
  }
};

}  // namespace

FileSystem& posixFileSystem() {
  static PosixFileSystem instance;  // stateless: sharing it shares nothing mutable
  return instance;
}

}  // namespace quillmere
