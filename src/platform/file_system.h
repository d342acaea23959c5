#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/unique_fd.h"

namespace quillmere {

// What one stat(2) of a path says, links followed.
struct FileStatus {
  bool isRegular = false;
  bool isDirectory = false;
  std::int64_t size = 0;
};

// A descriptor together with the path it was opened from, so every later failure can name it.
struct OpenFile {
  UniqueFd fd;
  std::string path;
};

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

  // Opens an existing file for reading. The open does not block (a FIFO swapped in at the path
  // cannot hang us) and anything that is not a regular file is refused with a platform error.
  virtual OpenFile openForReading(const std::string& path) = 0;

  // Creates a new file for writing; never opens or truncates an existing one (O_CREAT|O_EXCL).
  virtual OpenFile createExclusive(const std::string& path) = 0;

  // Opens a directory so it can be fsynced.
  virtual OpenFile openDirectory(const std::string& path) = 0;

  // One read of up to buffer.size() bytes, retried on EINTR; 0 means end of file.
  virtual std::size_t read(OpenFile& file, std::span<std::byte> buffer) = 0;

  // Writes every byte, retrying short writes and EINTR.
  virtual void writeAll(OpenFile& file, std::span<const std::byte> bytes) = 0;

  // Copies the rest of `from` to the end of `to`: copy_file_range, falling back to read/write
  // where the file systems cannot do it.
  virtual void copyContents(OpenFile& from, OpenFile& to) = 0;

  // Asks the kernel to start writing a file's dirty pages back now, without waiting for them, so
  // that a later fsync has little left to do. Advisory: implementations may ignore it.
  virtual void startWriteBack(OpenFile& file) = 0;

  // fsync(2).
  virtual void sync(OpenFile& file) = 0;

  // mkdir(2) with default permissions; fails when the parent is missing or the name is taken.
  virtual void createDirectory(const std::string& path) = 0;

  // Renames within one file system and fails with EEXIST rather than replace anything at `to`.
  // Where the file system cannot promise that, the rename fails instead of risking an overwrite.
  virtual void renameNoReplace(const std::string& from, const std::string& to) = 0;

  // rename(2): replaces a file at `to` in one step. Only used for atomic writes of files.
  virtual void renameReplace(const std::string& from, const std::string& to) = 0;

  // Removes one file (unlink).
  virtual void removeFile(const std::string& path) = 0;

  // Removes a directory with everything in it, without following links inside it.
  virtual void removeTree(const std::string& path) = 0;
};

// The real, POSIX implementation. Stateless, shared by every caller.
FileSystem& posixFileSystem();

}  // namespace quillmere
