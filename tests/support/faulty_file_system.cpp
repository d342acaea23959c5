#include "support/faulty_file_system.h"

#include <fcntl.h>

#include <algorithm>

#include "platform/paths.h"
#include "platform/system_error.h"
#include "support/failures.h"

namespace quillmere::testing {

const char* name(FsOp op) {
  switch (op) {
    case FsOp::status:
      return "status";
    case FsOp::openForReading:
      return "openForReading";
    case FsOp::createExclusive:
      return "createExclusive";
    case FsOp::openDirectory:
      return "openDirectory";
    case FsOp::read:
      return "read";
    case FsOp::writeAll:
      return "writeAll";
    case FsOp::startWriteBack:
      return "startWriteBack";
    case FsOp::sync:
      return "sync";
    case FsOp::renameReplace:
      return "renameReplace";
    case FsOp::removeFile:
      return "removeFile";
    case FsOp::statusOfFile:
      return "statusOfFile";
    case FsOp::linkStatus:
      return "linkStatus";
    case FsOp::readLink:
      return "readLink";
    case FsOp::openStreamForWriting:
      return "openStreamForWriting";
    case FsOp::readAt:
      return "readAt";
    case FsOp::copyChunk:
      return "copyChunk";
    case FsOp::createDirectoryAt:
      return "createDirectoryAt";
    case FsOp::openDirectoryAt:
      return "openDirectoryAt";
    case FsOp::createExclusiveAt:
      return "createExclusiveAt";
    case FsOp::renameNoReplaceAt:
      return "renameNoReplaceAt";
    case FsOp::openStreamForReading:
      return "openStreamForReading";
    case FsOp::openForAppending:
      return "openForAppending";
    case FsOp::removeFileAt:
      return "removeFileAt";
    case FsOp::removeEmptyFolderAt:
      return "removeEmptyFolderAt";
    case FsOp::adviseSequential:
      return "adviseSequential";
    case FsOp::dropCachedPages:
      return "dropCachedPages";
    case FsOp::prefetch:
      return "prefetch";
    case FsOp::openUncached:
      return "openUncached";
    case FsOp::openForReadingAt:
      return "openForReadingAt";
    case FsOp::listEntries:
      return "listEntries";
    case FsOp::entryStatusAt:
      return "entryStatusAt";
    case FsOp::renameAt:
      return "renameAt";
    case FsOp::tryLock:
      return "tryLock";
    case FsOp::unlock:
      return "unlock";
  }
  return "?";
}

bool onlyClearsLeftovers(FsOp op, const std::string& path, const std::string& destination) {
  return op == FsOp::tryLock || (op == FsOp::listEntries && path == destination);
}

bool isRecordBeside(const std::string& path, const std::string& destination) {
  return path.starts_with(destination + "/.quillmere-partial-") && path.ends_with(".owner") &&
         path.find('/', destination.size() + 1) == std::string::npos;
}

bool onlyTakesAwayTheRecordBeside(FsOp op, const std::string& path,
                                  const std::string& destination) {
  return op == FsOp::removeFileAt && isRecordBeside(path, destination);
}

bool onlyMakesTheCommitDurable(FsOp op, const std::string& path, const std::string& destination) {
  return (op == FsOp::sync && path == destination) ||
         ((op == FsOp::openDirectory || op == FsOp::sync) && path == parentOf(destination));
}

FaultyFileSystem::FaultyFileSystem(FsOp op, int failAt, std::string path, int error)
    : m_op(op), m_failAt(failAt), m_error(error), m_path(withoutUuids(path)) {}

void FaultyFileSystem::enter(FsOp op, const std::string& path) {
  const int count = ++m_calls[static_cast<int>(op)];
  const bool counted =
      m_path.empty() ? op == m_op && count == m_failAt
                     : op == m_op && withoutUuids(path) == m_path && ++m_callsOnPath == m_failAt;
  if (counted) {
    m_fired = true;
    throwSystemError(m_error, std::string("injected ") + name(op), path);
  }
  if (before) {
    const std::lock_guard lock(m_hookMutex);
    before(op, path);
  }
}

FileStatus FaultyFileSystem::status(const std::string& path) {
  enter(FsOp::status, path);
  return posixFileSystem().status(path);
}
OpenFile FaultyFileSystem::openForReading(const std::string& path) {
  enter(FsOp::openForReading, path);
  return posixFileSystem().openForReading(path);
}
OpenFile FaultyFileSystem::createExclusive(const std::string& path) {
  enter(FsOp::createExclusive, path);
  return posixFileSystem().createExclusive(path);
}
OpenFile FaultyFileSystem::openDirectory(const std::string& path) {
  enter(FsOp::openDirectory, path);
  return posixFileSystem().openDirectory(path);
}
std::size_t FaultyFileSystem::read(OpenFile& file, std::span<std::byte> buffer) {
  enter(FsOp::read, file.path);
  return posixFileSystem().read(file, buffer);
}
void FaultyFileSystem::writeAll(OpenFile& file, std::span<const std::byte> bytes) {
  enter(FsOp::writeAll, file.path);
  written(file.path);
  posixFileSystem().writeAll(file, bytes);
}
void FaultyFileSystem::startWriteBack(OpenFile& file) {
  enter(FsOp::startWriteBack, file.path);
  posixFileSystem().startWriteBack(file);
}
void FaultyFileSystem::sync(OpenFile& file) {
  enter(FsOp::sync, file.path);
  posixFileSystem().sync(file);
  const std::lock_guard lock(m_droppedMutex);
  m_unflushed.erase(file.path);
}
void FaultyFileSystem::renameReplace(const std::string& from, const std::string& to) {
  enter(FsOp::renameReplace, to);
  posixFileSystem().renameReplace(from, to);
}
void FaultyFileSystem::removeFile(const std::string& path) {
  enter(FsOp::removeFile, path);
  posixFileSystem().removeFile(path);
}

FileStatus FaultyFileSystem::status(OpenFile& file) {
  enter(FsOp::statusOfFile, file.path);
  return posixFileSystem().status(file);
}
FileStatus FaultyFileSystem::linkStatus(const std::string& path) {
  enter(FsOp::linkStatus, path);
  return posixFileSystem().linkStatus(path);
}
std::string FaultyFileSystem::readLink(const std::string& path) {
  enter(FsOp::readLink, path);
  return posixFileSystem().readLink(path);
}
OpenFile FaultyFileSystem::openStreamForWriting(const std::string& path) {
  enter(FsOp::openStreamForWriting, path);
  return posixFileSystem().openStreamForWriting(path);
}
OpenFile FaultyFileSystem::openStreamForReading(const std::string& path) {
  enter(FsOp::openStreamForReading, path);
  return posixFileSystem().openStreamForReading(path);
}
OpenFile FaultyFileSystem::openForAppending(const std::string& path) {
  enter(FsOp::openForAppending, path);
  return posixFileSystem().openForAppending(path);
}
std::size_t FaultyFileSystem::readAt(OpenFile& file, std::uint64_t offset,
                                     std::span<std::byte> buffer) {
  enter(FsOp::readAt, file.path);
  if (uncached == Uncached::refusedAtRead && (::fcntl(file.fd.get(), F_GETFL) & O_DIRECT) != 0) {
    throwSystemError(EINVAL, "read", file.path);
  }
  std::size_t count = posixFileSystem().readAt(file, offset, buffer);
  if (const auto spoiled = spoiledMedium ? spoiledMedium(file.path) : std::nullopt) {
    if (spoiled->keepsOnly) {
      count = offset >= *spoiled->keepsOnly
                  ? 0
                  : static_cast<std::size_t>(std::min<std::uint64_t>(count, *spoiled->keepsOnly - offset));
    }
    if (spoiled->garblesReads && count > 0) buffer[0] ^= std::byte{0x01};
  }
  if (count > 0 && offset == 0 && mediumDiffers) {
    bool dropped;
    {
      const std::lock_guard lock(m_droppedMutex);
      dropped = m_dropped.contains(file.path);
    }
    // A read past the cache is the medium's, whatever memory holds.
    const bool uncachedRead = (::fcntl(file.fd.get(), F_GETFL) & O_DIRECT) != 0;
    if ((dropped || uncachedRead) && mediumDiffers(file.path)) buffer[0] ^= std::byte{0x01};
  }
  return count;
}
std::size_t FaultyFileSystem::copyChunk(OpenFile& from, std::uint64_t offset, OpenFile& to,
                                        std::size_t length) {
  enter(FsOp::copyChunk, to.path);
  written(to.path);
  return posixFileSystem().copyChunk(from, offset, to, length);
}
void FaultyFileSystem::createDirectoryAt(OpenFile& folder, const std::string& name) {
  enter(FsOp::createDirectoryAt, folder.path + "/" + name);
  posixFileSystem().createDirectoryAt(folder, name);
}
OpenFile FaultyFileSystem::openDirectoryAt(OpenFile& folder, const std::string& name) {
  enter(FsOp::openDirectoryAt, folder.path + "/" + name);
  return posixFileSystem().openDirectoryAt(folder, name);
}
OpenFile FaultyFileSystem::createExclusiveAt(OpenFile& folder, const std::string& name) {
  enter(FsOp::createExclusiveAt, folder.path + "/" + name);
  return posixFileSystem().createExclusiveAt(folder, name);
}
bool FaultyFileSystem::tryRenameNoReplaceAt(OpenFile& folder, const std::string& from,
                                            const std::string& to) {
  enter(FsOp::renameNoReplaceAt, folder.path + "/" + to);
  if (refuseNoReplace) return false;
  return posixFileSystem().tryRenameNoReplaceAt(folder, from, to);
}
std::optional<FileStatus> FaultyFileSystem::entryStatusAt(OpenFile& folder,
                                                          const std::string& name) {
  enter(FsOp::entryStatusAt, folder.path + "/" + name);
  return posixFileSystem().entryStatusAt(folder, name);
}
void FaultyFileSystem::renameAt(OpenFile& folder, const std::string& from, const std::string& to) {
  enter(FsOp::renameAt, folder.path + "/" + to);
  posixFileSystem().renameAt(folder, from, to);
}

void FaultyFileSystem::removeFileAt(OpenFile& folder, const std::string& name) {
  enter(FsOp::removeFileAt, folder.path + "/" + name);
  posixFileSystem().removeFileAt(folder, name);
}
void FaultyFileSystem::removeEmptyFolderAt(OpenFile& folder, const std::string& name) {
  enter(FsOp::removeEmptyFolderAt, folder.path + "/" + name);
  posixFileSystem().removeEmptyFolderAt(folder, name);
}
void FaultyFileSystem::adviseSequential(OpenFile& file) {
  ++m_calls[static_cast<int>(FsOp::adviseSequential)];
  posixFileSystem().adviseSequential(file);
}
void FaultyFileSystem::dropCachedPages(OpenFile& file) {
  ++m_calls[static_cast<int>(FsOp::dropCachedPages)];
  {
    // Dirty pages stay in memory until written back, whatever the caller asks.
    const std::lock_guard lock(m_droppedMutex);
    if (!m_unflushed.contains(file.path)) m_dropped.insert(file.path);
  }
  posixFileSystem().dropCachedPages(file);
}

void FaultyFileSystem::written(const std::string& path) {
  const std::lock_guard lock(m_droppedMutex);
  m_unflushed.insert(path);
  m_dropped.erase(path);
}

void FaultyFileSystem::prefetch(OpenFile& file) {
  ++m_calls[static_cast<int>(FsOp::prefetch)];
  posixFileSystem().prefetch(file);
}

std::optional<UncachedFile> FaultyFileSystem::openUncached(OpenFile& file) {
  if (uncached == Uncached::refusedAtOpen) return std::nullopt;
  std::optional<UncachedFile> opened = posixFileSystem().openUncached(file);
  if (opened) ++m_calls[static_cast<int>(FsOp::openUncached)];
  return opened;
}

// Reading a folder someone else made.
OpenFile FaultyFileSystem::openForReadingAt(OpenFile& folder, const std::string& name) {
  enter(FsOp::openForReadingAt, folder.path + "/" + name);
  return posixFileSystem().openForReadingAt(folder, name);
}
std::vector<std::string> FaultyFileSystem::listEntries(OpenFile& folder) {
  enter(FsOp::listEntries, folder.path);
  return posixFileSystem().listEntries(folder);
}

// Locks and the clearing of what dead batches left.
bool FaultyFileSystem::tryLock(OpenFile& file, LockKind kind) {
  enter(FsOp::tryLock, file.path);
  return posixFileSystem().tryLock(file, kind);
}
void FaultyFileSystem::unlock(OpenFile& file) {
  ++m_calls[static_cast<int>(FsOp::unlock)];
  posixFileSystem().unlock(file);
}

}  // namespace quillmere::testing
