#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/file_system.h"

namespace quillmere {

// Composite file operations, built only from the FileSystem seam so that a failure of any single
// step can be injected in tests.

// Reads a whole file into memory, but never more than `limit` bytes: a caller that refuses files
// of some size passes that size and need not hold a larger file to find out.
std::string readWholeFile(const std::string& path, FileSystem& fs = posixFileSystem(),
                          std::size_t limit = SIZE_MAX);

// Copies `source` to a new file `target`, which must not exist yet: it is created exclusively and
// nothing is ever overwritten. On failure a partly written target is removed again. The returned
// file is still open for writing so the caller can start write-back or fsync it.
OpenFile copyToNewFile(const std::string& source, const std::string& target,
                       FileSystem& fs = posixFileSystem());

// Replaces `target` with `bytes` so that a reader sees either the old file or the complete new
// one: the bytes go into a uniquely named temporary file beside it, are fsynced, renamed over the
// target, and then the folder is fsynced. The temporary file is removed on every failure.
void writeAtomically(const std::string& target, std::string_view bytes,
                     FileSystem& fs = posixFileSystem());

// writeAtomically without the final fsync of the folder. When it returns, `target` holds `bytes`
// whole; when it throws, `target` is as it was. Whether the rename survives a power cut is only
// settled by a later syncParentDirectory.
void replaceAtomically(const std::string& target, std::string_view bytes,
                       FileSystem& fs = posixFileSystem());

// fsync of the folder that holds `path`, making a rename into it durable.
void syncParentDirectory(const std::string& path, FileSystem& fs = posixFileSystem());

// fsync of a directory, making the creation, rename or removal of its entries durable.
void syncDirectory(const std::string& path, FileSystem& fs = posixFileSystem());

}  // namespace quillmere
