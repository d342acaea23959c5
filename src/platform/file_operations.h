#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/file_system.h"

namespace quillmere {

// Composite file operations, built only from the FileSystem seam so that a failure of any single
// step can be injected in tests.

// Reads a whole file into memory, but never more than `limit` bytes: a caller that refuses files
// of some size passes that size and need not hold a larger file to find out. The file may be a
// stream (a pipe, a FIFO, a terminal, /dev/stdin): it is read up to its end or the limit, which
// is all that can be known of its size, and a FIFO is waited for as cat(1) waits for it.
std::string readWholeFile(const std::string& path, FileSystem& fs = posixFileSystem(),
                          std::size_t limit = SIZE_MAX);

// Replaces `target` with `bytes` so that a reader sees either the old file or the complete new
// one: the bytes go into a uniquely named temporary file beside it, are fsynced, renamed over the
// target, and then the folder is fsynced. The temporary file is removed on every failure. Its
// name stays short whatever the target's, so any name the file system accepts can be replaced.
void writeAtomically(const std::string& target, std::string_view bytes,
                     FileSystem& fs = posixFileSystem());

// writeAtomically without the final fsync of the folder. When it returns, `target` holds `bytes`
// whole; when it throws, `target` is as it was. Whether the rename survives a power cut is only
// settled by a later syncParentDirectory.
void replaceAtomically(const std::string& target, std::string_view bytes,
                       FileSystem& fs = posixFileSystem());

// The hidden name of the temporary file that stands in for `name` until it is renamed over it:
// ".<name>.tmp-<random UUID>", with only the first 32 bytes of `name` (cut between characters)
// so that the temporary name is never longer than 74 bytes, far below any file system's limit.
std::string temporaryNameFor(std::string_view name);

// How a file is written so that what its path names is honoured, never destroyed.
enum class WriteMode {
  replace,  // a regular file, or nothing yet: replaced or created atomically
  stream,   // a FIFO or character device: written into
  append,   // a regular file that is an open descriptor (/dev/stdout, /dev/fd/N, /proc/self/fd/N):
            // written at its end, as the shell redirection that opened it (> or >>) expects
};

// Where writing a file at `path` should land: a link (and a chain of links, relative texts taken
// against the link's folder) is followed to the file it ends at, which is replaced while the link
// stays a link; a link that leads nowhere names the file to create. An existing FIFO or character
// device is written into, and so is a regular file named as an open descriptor. A folder, or
// anything else that is not a regular file, is refused with a platform error, as is a chain of
// more than 40 links.
struct WriteTarget {
  std::string path;
  WriteMode mode = WriteMode::replace;
};
WriteTarget writeTargetOf(const std::string& path, FileSystem& fs = posixFileSystem());

// Whether `path` names an open descriptor rather than a file: /dev/stdout, /dev/stderr,
// /dev/fd/N, /proc/self/fd/N, /proc/thread-self/fd/N or /proc/<pid>/fd/N.
bool namesOpenDescriptor(std::string_view path);

// Writes every byte into an existing FIFO or character device (WriteMode::stream) or at the end of
// an existing regular file (WriteMode::append). The open does not wait: a FIFO without a reader
// fails at once (ENXIO) rather than hang.
void writeInto(const WriteTarget& target, std::string_view bytes,
               FileSystem& fs = posixFileSystem());

// Renames `from` to `to` inside the open folder and fails with EEXIST rather than replace
// anything at `to`. Where the file system refuses no-replace renames it looks first and renames
// only when nothing has the name; a plain rename cannot replace a file or a folder holding
// anything when `from` is a folder, so what the instant between the look and the rename leaves
// open is an empty folder made there by a program that guessed a fresh random name.
void renameNoReplaceAt(OpenFile& folder, const std::string& from, const std::string& to,
                       FileSystem& fs = posixFileSystem());

// fsync of the folder that holds `path`, making a rename into it durable.
void syncParentDirectory(const std::string& path, FileSystem& fs = posixFileSystem());

// fsync of a directory, making the creation, rename or removal of its entries durable.
void syncDirectory(const std::string& path, FileSystem& fs = posixFileSystem());

// Whether the open folder `folder` is the folder `ancestor` is the status of, or lies anywhere
// below it: decided by walking up through ".." by descriptor and comparing device and inode, so
// no spelling of a path, link or mount point on the way hides where the folder is.
bool isAtOrBelow(OpenFile& folder, const FileStatus& ancestor, FileSystem& fs = posixFileSystem());

}  // namespace quillmere
