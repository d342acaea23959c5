#include "support/faulty_file_system.h"

#include "platform/system_error.h"

namespace quillmere::testing {

const char* name(FsOp op) {
  switch (op) {
    case FsOp::status: return "status";
    case FsOp::openForReading: return "openForReading";
    case FsOp::createExclusive: return "createExclusive";
    case FsOp::openDirectory: return "openDirectory";
    case FsOp::read: return "read";
    case FsOp::writeAll: return "writeAll";
    case FsOp::copyContents: return "copyContents";
    case FsOp::startWriteBack: return "startWriteBack";
    case FsOp::sync: return "sync";
    case FsOp::createDirectory: return "createDirectory";
    case FsOp::renameNoReplace: return "renameNoReplace";
    case FsOp::renameReplace: return "renameReplace";
    case FsOp::removeFile: return "removeFile";
    case FsOp::removeTree: return "removeTree";
  }
  return "?";
}

void FaultyFileSystem::enter(FsOp op, const std::string& path) {
  const int count = ++m_calls[static_cast<int>(op)];
  if (op == m_op && count == m_failAt) {
    m_fired = true;
    throwSystemError(m_error, std::string("injected ") + name(op), path);
  }
  if (before) before(op, path);
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
  posixFileSystem().writeAll(file, bytes);
}
void FaultyFileSystem::copyContents(OpenFile& from, OpenFile& to) {
  enter(FsOp::copyContents, to.path);
  posixFileSystem().copyContents(from, to);
}
void FaultyFileSystem::startWriteBack(OpenFile& file) {
  enter(FsOp::startWriteBack, file.path);
  posixFileSystem().startWriteBack(file);
}
void FaultyFileSystem::sync(OpenFile& file) {
  enter(FsOp::sync, file.path);
  posixFileSystem().sync(file);
}
void FaultyFileSystem::createDirectory(const std::string& path) {
  enter(FsOp::createDirectory, path);
  posixFileSystem().createDirectory(path);
}
void FaultyFileSystem::renameNoReplace(const std::string& from, const std::string& to) {
  enter(FsOp::renameNoReplace, to);
  posixFileSystem().renameNoReplace(from, to);
}
void FaultyFileSystem::renameReplace(const std::string& from, const std::string& to) {
  enter(FsOp::renameReplace, to);
  posixFileSystem().renameReplace(from, to);
}
void FaultyFileSystem::removeFile(const std::string& path) {
  enter(FsOp::removeFile, path);
  posixFileSystem().removeFile(path);
}
void FaultyFileSystem::removeTree(const std::string& path) {
  enter(FsOp::removeTree, path);
  posixFileSystem().removeTree(path);
}

}  // namespace quillmere::testing
