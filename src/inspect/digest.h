#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/file_system.h"

namespace quillmere {

// SHA-256 of a file's content as 64 lower-case hex characters. Streams the file in 1 MiB reads
// and holds one buffer at most, whatever its size. Failures are platform errors, passed on.
std::string sha256(const std::string& path, FileSystem& fs = posixFileSystem());

// SHA-256 of an open file's content, from offset 0 to where it ends now, in chunks of 1 MiB read
// at offsets or, for large files, taken from memory maps of the file: the file position is
// neither used nor moved, so the same open file can be inspected, hashed and copied in any order,
// and hashing it twice reads it twice. `onChunk`, when given, is called with the size of each
// chunk once it is hashed (the sizes add up to the bytes hashed, or to more when the file was cut
// short meanwhile); whatever it throws ends the hashing and is passed on, which is how a caller
// stops a long hash. `knownSize` is how much the caller knows the file holds, which may then be
// mapped; the value is the same as reading would give. Failures of the file system are its
// platform errors, passed on.
std::string sha256(OpenFile& file, FileSystem& fs,
                   const std::function<void(std::size_t)>& onChunk = {},
                   std::uint64_t knownSize = 0);

// The same for the first `length` bytes only (fewer if the file ends sooner). For a caller that
// knows the size from the open and compares the result with a later hash, which notices a file
// that grew or shrank; it spares the read that would only find the end.
std::string sha256(OpenFile& file, FileSystem& fs, std::uint64_t length,
                   const std::function<void(std::size_t)>& onChunk = {});

// SHA-256 of the UTF-8 bytes of a text, as held, as 64 lower-case hex characters.
std::string digest(std::string_view text);

// A UUID-shaped identifier derived from a text: the first 16 bytes of its SHA-256 with the version
// nibble set to 5 and the RFC 4122 variant bits, in canonical lower-case text. Not RFC 4122's
// name-based version 5 (no namespace, SHA-256 instead of SHA-1).
std::string stableUUID(std::string_view text);

}  // namespace quillmere
