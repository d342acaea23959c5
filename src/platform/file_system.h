#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace quillmere {

// What one stat(2) of a path or descriptor says (links followed, except by linkStatus).
struct FileStatus {
  bool isRegular = false;
  bool isDirectory = false;
  bool isLink = false;    // only ever set by linkStatus
  bool isStream = false;  // a FIFO or a character device: written into, never replaced
  std::int64_t size = 0;
  // Which file it is: the same device and inode is the same file, whatever path led to it.
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  // The mount the file was reached through, where the system tells (statx's mount id; filled by
  // status(OpenFile&) and entryStatusAt only). Two mounts of one file system share a device, so
  // only this tells a folder bind-mounted in from the folder around it.
  std::optional<std::uint64_t> mount;
  // When its content last changed, in seconds since the epoch (for a folder: an entry added or
  // removed); filled where `mount` is.
  std::int64_t modifiedSeconds = 0;
};

// Whether two statuses describe one and the same file.
inline bool sameFile(const FileStatus& a, const FileStatus& b) {
  return a.device == b.device && a.inode == b.inode;
}

// A descriptor together with the path it was opened from, so every later failure can name it.
struct OpenFile {
  UniqueFd fd;
  std::string path;
  // What fstat said of the file when openForReading opened it (kind and size); left empty by the
  // other opens. Saves a caller the same fstat again.
  FileStatus status;
};

// A second descriptor on an open regular file whose reads pass the page cache by (O_DIRECT), so
// each comes from the device whatever memory holds of the file. Its reads must start at a
// multiple of `alignment`, ask for a multiple of it, and land in a buffer aligned to it; the read
// that reaches the file's end returns only what is left.
struct UncachedFile {
  OpenFile file;
  std::size_t alignment = 4096;
};

// Which lock flock(2) takes: many holders may share a shared lock; an exclusive one has one holder.
enum class LockKind { shared, exclusive };

// The seam between the system and the operating system's file services. Every operation that
// touches the disk goes through one of these calls, so a test can wrap the real implementation
// and make any single call fail. Every failure is a std::system_error built with
// throwSystemError: operation, path and OS reason. Implementations hold no mutable state and may
// be used from several threads at once.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // stat(2), following links. Fails when the path cannot be examined (nothing there included).
  virtual FileStatus status(const std::string& path) = 0;

  // fstat(2) of an open file: describes what was opened, whatever the path names by now.
  virtual FileStatus status(OpenFile& file) = 0;

  // lstat(2): the path itself, a link not followed. Fails when nothing is there.
  virtual FileStatus linkStatus(const std::string& path) = 0;

  // readlink(2): the text of a symbolic link, as stored.
  virtual std::string readLink(const std::string& path) = 0;

  // Opens an existing file for reading. The open does not block (a FIFO swapped in at the path
  // cannot hang us) and anything that is not a regular file is refused with a platform error.
  // The returned file carries its status as of the open.
  virtual OpenFile openForReading(const std::string& path) = 0;

  // Creates a new file for writing; never opens or truncates an existing one (O_CREAT|O_EXCL).
  virtual OpenFile createExclusive(const std::string& path) = 0;

  // Opens an existing regular file for writing at its end (O_APPEND); never creates, truncates or
  // replaces it. Anything that is not a regular file is refused with a platform error.
  virtual OpenFile openForAppending(const std::string& path) = 0;

  // Opens an existing file of any kind but a folder for reading from start to end: a regular file,
  // or a stream such as a FIFO, a pipe or a terminal. Unlike openForReading this open may wait: a
  // FIFO is opened as cat(1) opens it, until a writer comes, and reads then wait for its data.
  virtual OpenFile openStreamForReading(const std::string& path) = 0;

  // Opens a directory so it can be fsynced.
  virtual OpenFile openDirectory(const std::string& path) = 0;

  // Opens a directory to create, look up and rename entries in through the *At calls below. A
  // folder its user may write into but not list is opened all the same, for naming only (its
  // descriptor then cannot be fsynced, listed or locked, and those calls fail).
  virtual OpenFile openDirectoryToWorkIn(const std::string& path) { return openDirectory(path); }

  // Opens an existing FIFO or character device for writing into it directly. The open does not
  // wait (a FIFO without a reader fails with ENXIO); later writes block as usual. Anything else is
  // refused with a platform error.
  virtual OpenFile openStreamForWriting(const std::string& path) = 0;

  // One read of up to buffer.size() bytes, retried on EINTR; 0 means end of file.
  virtual std::size_t read(OpenFile& file, std::span<std::byte> buffer) = 0;

  // One pread(2) of up to buffer.size() bytes at `offset`, retried on EINTR; 0 means end of file.
  // Leaves the file position alone, so several readers can share one descriptor.
  virtual std::size_t readAt(OpenFile& file, std::uint64_t offset, std::span<std::byte> buffer) = 0;

  // Tells the kernel that the file will be read once from start to end, so it reads ahead
  // generously. Advisory: implementations may ignore it, and it never fails.
  virtual void adviseSequential(OpenFile& file) { static_cast<void>(file); }

  // Drops the file's clean pages from the page cache, so that the next read comes from the device
  // rather than from memory. Only pages already written back can go: call it after sync. Advisory
  // like the above: some file systems keep the pages (tmpfs, whose pages are the file, and some
  // network and FUSE file systems), and then the next read simply comes from memory again.
  virtual void dropCachedPages(OpenFile& file) { static_cast<void>(file); }

  // Opens the file `file` is open on once more, for reading past the page cache (UncachedFile).
  // Nothing where that cannot be had: file systems that refuse O_DIRECT (tmpfs, whose pages are
  // the file, and many FUSE and network ones), or no /proc to reopen through. Never fails; some
  // file systems accept the open and refuse the first read instead (EINVAL), so a caller still
  // keeps a way through the cache.
  virtual std::optional<UncachedFile> openUncached(OpenFile& file) {
    static_cast<void>(file);
    return std::nullopt;
  }

  // Asks the kernel to start reading the whole file into the page cache now, in the background,
  // so that a read soon after finds it there. Advisory, never fails.
  virtual void prefetch(OpenFile& file) { static_cast<void>(file); }

  // Writes every byte, retrying short writes and EINTR.
  virtual void writeAll(OpenFile& file, std::span<const std::byte> bytes) = 0;

  // Copies up to `length` bytes of `from`, starting at `offset`, to the end of `to` and returns how
  // many were copied; 0 means `from` ends at `offset`. copy_file_range where the file systems can,
  // pread/write otherwise. Leaves `from`'s file position alone.
  virtual std::size_t copyChunk(OpenFile& from, std::uint64_t offset, OpenFile& to,
                                std::size_t length) = 0;

  // Asks the kernel to start writing a file's dirty pages back now, without waiting for them, so
  // that a later fsync has little left to do. Advisory: implementations may ignore it.
  virtual void startWriteBack(OpenFile& file) = 0;

  // fsync(2).
  virtual void sync(OpenFile& file) = 0;

  // rename(2): replaces a file at `to` in one step. Only used for atomic writes of files.
  virtual void renameReplace(const std::string& from, const std::string& to) = 0;

  // Removes one file (unlink).
  virtual void removeFile(const std::string& path) = 0;

  // Operations relative to an open folder, for work that must stay inside the folder it started
  // in even if a path leading there is repointed meanwhile. `name` is one component; the returned
  // files and every error carry the folder's path joined with it.

  // mkdirat(2).
  virtual void createDirectoryAt(OpenFile& folder, const std::string& name) = 0;
  // Opens a sub-folder (not through a link) so it can be listed, worked in and fsynced.
  virtual OpenFile openDirectoryAt(OpenFile& folder, const std::string& name) = 0;
  // O_CREAT|O_EXCL in the folder, open for writing and for reading back; never opens or truncates
  // an existing file.
  virtual OpenFile createExclusiveAt(OpenFile& folder, const std::string& name) = 0;
  // Renames within the folder and fails with EEXIST rather than replace anything at `to`, even an
  // empty folder (which plain rename(2) would silently replace). Returns false, having changed
  // nothing, when the file system does not know how to rename without replacing (some network and
  // FUSE file systems answer RENAME_NOREPLACE with EINVAL). Callers use renameNoReplaceAt of
  // file_operations.h, which then falls back on the two calls below.
  [[nodiscard]] virtual bool tryRenameNoReplaceAt(OpenFile& folder, const std::string& from,
                                                  const std::string& to) = 0;
  // fstatat(2) of one entry of the folder, a link not followed; nothing when no entry has the
  // name.
  virtual std::optional<FileStatus> entryStatusAt(OpenFile& folder, const std::string& name) = 0;
  // renameat(2) within the folder. It replaces a file at `to`, or an empty folder when `from` is a
  // folder, so it is only used where no-replace renames are refused, after making sure that
  // nothing is at `to`.
  virtual void renameAt(OpenFile& folder, const std::string& from, const std::string& to) = 0;
  // unlinkat(2) of one file, and of one empty folder: removals that need no descriptor beyond
  // the folder's, for a roll-back that must work when no descriptor is left to open.
  virtual void removeFileAt(OpenFile& folder, const std::string& name) = 0;
  virtual void removeEmptyFolderAt(OpenFile& folder, const std::string& name) = 0;

  // Reading a folder that someone else made, such as a batch verified days later, without ever
  // being led outside it: whatever the folder holds is taken as it is, links and special files
  // included, and never followed or opened.

  // Opens `name` in the folder for reading: never through a link (O_NOFOLLOW), without blocking,
  // and only a regular file. A link, a folder, a FIFO or a device is refused with
  // throwNotRegularFile's error, without being opened where it can be told beforehand, so that
  // opening a device cannot set it going; a missing entry fails with ENOENT. The returned file
  // carries its status as of the open.
  virtual OpenFile openForReadingAt(OpenFile& folder, const std::string& name) = 0;
  // The names of every entry in the folder, hidden ones included, "." and ".." left out, in no
  // particular order. Lists through the descriptor: what the folder's path names now is not asked.
  virtual std::vector<std::string> listEntries(OpenFile& folder) = 0;

  // Locks that tell a live batch from a dead one. A lock belongs to the open file, not to a
  // path, and the kernel gives it back when the last descriptor of that open file closes, however
  // the process ends (a crash or SIGKILL included).

  // flock(2) without waiting: true when the lock is taken (or was already held through this open
  // file), false when another open file holds one that conflicts. A file system that keeps no
  // such locks (some network shares) fails with a platform error.
  virtual bool tryLock(OpenFile& file, LockKind kind) = 0;
  // Gives back a lock taken through this open file. Never fails: the lock goes with the
  // descriptor at the latest.
  virtual void unlock(OpenFile& file) = 0;

  // Bytes an ordinary user may still write on the file system that holds `folder`, or nothing when
  // the system cannot tell (a file system that reports no size, a failed query): only a guide for
  // refusing early, never a promise, since others write meanwhile.
  virtual std::optional<std::uint64_t> freeSpace(OpenFile& folder) {
    static_cast<void>(folder);
    return std::nullopt;
  }
};

// The real, POSIX implementation. Stateless, shared by every caller.
FileSystem& posixFileSystem();

}  // namespace quillmere
