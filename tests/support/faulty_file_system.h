#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "platform/file_system.h"

namespace quillmere::testing {

// The operations of the FileSystem seam, for choosing which one to make fail.
enum class FsOp {
  status,
  openForReading,
  createExclusive,
  openDirectory,
  read,
  writeAll,
  startWriteBack,
  sync,
  renameReplace,
  removeFile,
  statusOfFile,
  linkStatus,
  readLink,
  openStreamForWriting,
  readAt,
  copyChunk,
  createDirectoryAt,
  openDirectoryAt,
  createExclusiveAt,
  renameNoReplaceAt,
  openStreamForReading,
  openForAppending,
  removeFileAt,
  removeEmptyFolderAt,
  // Reading a folder someone else made.
  openForReadingAt,
  listEntries,
  entryStatusAt,
  renameAt,
  // Locks and the clearing of what dead batches left.
  tryLock,
  // Advisory calls: counted, never made to fail (the real ones cannot), so not in kAllFsOps.
  adviseSequential,
  dropCachedPages,
  prefetch,
  openUncached,  // counted when it hands out a descriptor
  unlock,
};
const char* name(FsOp op);
inline constexpr FsOp kAllFsOps[] = {FsOp::status,
                                     FsOp::openForReading,
                                     FsOp::createExclusive,
                                     FsOp::openDirectory,
                                     FsOp::read,
                                     FsOp::writeAll,
                                     FsOp::startWriteBack,
                                     FsOp::sync,
                                     FsOp::renameReplace,
                                     FsOp::removeFile,
                                     FsOp::statusOfFile,
                                     FsOp::linkStatus,
                                     FsOp::readLink,
                                     FsOp::openStreamForWriting,
                                     FsOp::readAt,
                                     FsOp::copyChunk,
                                     FsOp::createDirectoryAt,
                                     FsOp::openDirectoryAt,
                                     FsOp::createExclusiveAt,
                                     FsOp::renameNoReplaceAt,
                                     FsOp::openStreamForReading,
                                     FsOp::openForAppending,
                                     FsOp::removeFileAt,
                                     FsOp::removeEmptyFolderAt,
                                     // Reading a folder someone else made.
                                     FsOp::openForReadingAt,
                                     FsOp::listEntries,
                                     FsOp::entryStatusAt,
                                     FsOp::renameAt,
                                     // Locks and the clearing of what dead batches left.
                                     FsOp::tryLock};
inline constexpr std::size_t kFsOpCount = static_cast<std::size_t>(FsOp::unlock) + 1;

// Whether a failure of `op` on `path` is one a batch into `destination` lives with: the locks that
// tell live batches from dead ones, and the listing and removal of what dead batches left there.
// Such a failure never fails the batch, which is saved as if nothing had been left.
bool onlyClearsLeftovers(FsOp op, const std::string& path, const std::string& destination);

// Whether `op` on `path` takes away the owner record a batch keeps beside its staging folder in
// `destination` while the folder holds none: the record names the batch's own process, so a later
// save clears one left behind, and the batch neither fails nor changes for it.
bool onlyTakesAwayTheRecordBeside(FsOp op, const std::string& path, const std::string& destination);

// Whether `path` is the owner record a batch keeps beside its staging folder in `destination`.
bool isRecordBeside(const std::string& path, const std::string& destination);

// Whether `op` on `path` is one of the calls a batch into `destination` makes after its commit, so
// that the rename survives a power cut: the flush of the destination, then the opening and flush
// of the destination's parent. The batch is saved and visible by then; a failure there neither
// fails it nor takes it away.
bool onlyMakesTheCommitDurable(FsOp op, const std::string& path, const std::string& destination);

// Wraps the real POSIX file system and makes one chosen call fail: the `failAt`-th call (counting
// from 1) of operation `op` throws the same std::system_error a real failure would, with `error`
// as errno. Every call is counted, so a first run with failAt = 0 tells how many calls of each
// kind an operation makes. `before` runs before every call that is not failed (a hook for tests
// that change files between steps).
class FaultyFileSystem : public FileSystem {
 public:
  FaultyFileSystem() = default;
  FaultyFileSystem(FsOp op, int failAt, int error = 5 /* EIO */)
      : m_op(op), m_failAt(failAt), m_error(error) {}
  // The `failAt`-th call of `op` on `path` alone, random UUIDs in paths matching any UUID.
  // Batches work on two threads, so which call of an operation comes k-th overall varies from
  // run to run; the calls on one path keep their order.
  FaultyFileSystem(FsOp op, int failAt, std::string path, int error = 5 /* EIO */);

  int calls(FsOp op) const { return m_calls[static_cast<int>(op)].load(); }
  bool fired() const { return m_fired.load(); }
  // Batches call from two threads; `before` is called for one call at a time, so a hook may keep
  // plain state.
  std::function<void(FsOp op, const std::string& path)> before;
  // A medium that does not hold what was written: once a file's cached pages are dropped, reads of
  // it for which this answers true come back with their first byte changed, as a disk returning
  // other bytes than the cache held would. As in a real kernel, only flushed pages can be dropped:
  // a drop while anything written through this file system since the file's last sync is still
  // unflushed keeps the pages, and later reads come from memory, unchanged. Writing to a file
  // brings its pages back into memory.
  std::function<bool(const std::string& path)> mediumDiffers;
  // A medium that never holds what is written to some files, from their very first read: it keeps
  // only `keepsOnly` bytes of each (reads past them come back empty, as from a card that reports
  // more space than it has), or gives every read back with its first byte changed (as a share
  // that garbles what it returns). Answers for the paths it spoils, nothing for the others.
  struct SpoiledMedium {
    std::optional<std::uint64_t> keepsOnly;
    bool garblesReads = false;
  };
  std::function<std::optional<SpoiledMedium>(const std::string& path)> spoiledMedium;
  // How the file system answers reads past its page cache: it gives them (the real one's answer,
  // on this disk), refuses the open as tmpfs does, or accepts the open and refuses the first read
  // with EINVAL as some FUSE file systems do. Reads past the cache come from the medium, so
  // mediumDiffers changes them whether or not pages were dropped. Set it before use.
  enum class Uncached { asTheDisk, refusedAtOpen, refusedAtRead };
  Uncached uncached = Uncached::asTheDisk;
  // When set, no-replace renames are refused as some network and FUSE file systems refuse them
  // (counted as FsOp::renameNoReplaceAt, changing nothing), so callers take their fallback.
  // Set it before the file system is used.
  bool refuseNoReplace = false;

  FileStatus status(const std::string& path) override;
  OpenFile openForReading(const std::string& path) override;
  OpenFile createExclusive(const std::string& path) override;
  OpenFile openDirectory(const std::string& path) override;
  std::size_t read(OpenFile& file, std::span<std::byte> buffer) override;
  void writeAll(OpenFile& file, std::span<const std::byte> bytes) override;
  void startWriteBack(OpenFile& file) override;
  void sync(OpenFile& file) override;
  void renameReplace(const std::string& from, const std::string& to) override;
  void removeFile(const std::string& path) override;
  FileStatus status(OpenFile& file) override;
  FileStatus linkStatus(const std::string& path) override;
  std::string readLink(const std::string& path) override;
  OpenFile openStreamForWriting(const std::string& path) override;
  OpenFile openStreamForReading(const std::string& path) override;
  OpenFile openForAppending(const std::string& path) override;
  std::size_t readAt(OpenFile& file, std::uint64_t offset, std::span<std::byte> buffer) override;
  std::size_t copyChunk(OpenFile& from, std::uint64_t offset, OpenFile& to,
                        std::size_t length) override;
  void createDirectoryAt(OpenFile& folder, const std::string& name) override;
  OpenFile openDirectoryAt(OpenFile& folder, const std::string& name) override;
  OpenFile createExclusiveAt(OpenFile& folder, const std::string& name) override;
  bool tryRenameNoReplaceAt(OpenFile& folder, const std::string& from,
                            const std::string& to) override;
  std::optional<FileStatus> entryStatusAt(OpenFile& folder, const std::string& name) override;
  void renameAt(OpenFile& folder, const std::string& from, const std::string& to) override;
  void removeFileAt(OpenFile& folder, const std::string& name) override;
  void removeEmptyFolderAt(OpenFile& folder, const std::string& name) override;
  void adviseSequential(OpenFile& file) override;
  void dropCachedPages(OpenFile& file) override;
  void prefetch(OpenFile& file) override;
  std::optional<UncachedFile> openUncached(OpenFile& file) override;
  // Reading a folder someone else made.
  OpenFile openForReadingAt(OpenFile& folder, const std::string& name) override;
  std::vector<std::string> listEntries(OpenFile& folder) override;
  // Locks and the clearing of what dead batches left.
  bool tryLock(OpenFile& file, LockKind kind) override;
  void unlock(OpenFile& file) override;

 private:
  void enter(FsOp op, const std::string& path);
  // Before a write to `path`: its pages are in memory, unflushed.
  void written(const std::string& path);

  FsOp m_op = FsOp::status;
  int m_failAt = 0;
  int m_error = 5;
  std::string m_path;  // when set, only calls on this path count towards failAt
  std::atomic<int> m_calls[kFsOpCount] = {};
  std::atomic<int> m_callsOnPath = 0;
  std::atomic<bool> m_fired = false;
  std::mutex m_hookMutex;
  std::mutex m_droppedMutex;
  std::set<std::string> m_dropped;    // paths whose cached pages were dropped
  std::set<std::string> m_unflushed;  // paths written to since their last sync
};

}  // namespace quillmere::testing
