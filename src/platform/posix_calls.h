#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_system.h"

// The system calls behind the POSIX file system, each wrapped once with its retries and its
// error; used by posix_file_system.cpp alone.
namespace quillmere::posix {

// open(2), tried again when a signal interrupts it.
int openRetrying(const char* path, int flags, mode_t mode = 0);

// The names in the open directory `dirFd`, "." and ".." left out. Lists a duplicate of the
// descriptor, rewound first: a duplicate shares its position with the original.
std::vector<std::string> entryNames(int dirFd, const std::string& path);

FileStatus statusOf(const struct stat& info);

// statx of `name` in `dirFd` (an empty name with AT_EMPTY_PATH: the descriptor itself), links not
// followed: everything stat gives, and the mount it was reached through. Returns errno, 0 on
// success.
int statxOf(int dirFd, const char* name, int flags, FileStatus& status);

std::string joined(const OpenFile& folder, const std::string& name);

// pread/write of one chunk, for file systems that cannot copy in the kernel.
std::size_t copyChunkByReadWrite(OpenFile& from, std::uint64_t offset, OpenFile& to,
                                 std::size_t length);

// `file` opened once more for reads past the page cache, with the alignment they need; nothing
// where the file system offers none.
std::optional<UncachedFile> openUncached(OpenFile& file);

}  // namespace quillmere::posix
