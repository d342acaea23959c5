#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/file_system.h"

namespace quillmere {

// SHA-256 of a file's content as 64 lower-case hex characters. Streams the file in 1 MiB reads
// and holds one buffer at most, whatever its size. Failures are platform errors, passed on.
std::string sha256(const std::string& path, FileSystem& fs = posixFileSystem(),
                   const std::function<void(std::size_t)>& onChunk = {});

// SHA-256 of an open file from its first byte to its end, by positional reads (the file position
// is left alone). `onChunk` hears the size of every chunk hashed and may throw to stop.
std::string sha256(OpenFile& file, FileSystem& fs,
                   const std::function<void(std::size_t)>& onChunk = {});

// SHA-256 of the UTF-8 bytes of a text, as held, as 64 lower-case hex characters.
std::string digest(std::string_view text);

// A UUID-shaped identifier derived from a text: the first 16 bytes of its SHA-256 with the version
// nibble set to 5 and the RFC 4122 variant bits, in canonical lower-case text. Not RFC 4122's
// name-based version 5 (no namespace, SHA-256 instead of SHA-1).
std::string stableUUID(std::string_view text);

}  // namespace quillmere
