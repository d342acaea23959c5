#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/file_system.h"

// OpenSSL's digest context, named as OpenSSL declares it so that this header needs none of its own.
struct evp_md_ctx_st;

namespace quillmere {

// SHA-256 of a file's content as 64 lower-case hex characters. Streams the file in 1 MiB reads
// and holds one buffer at most, whatever its size. Failures are platform errors, passed on.
std::string sha256(const std::string& path, FileSystem& fs = posixFileSystem());

// SHA-256 of an open file's content, from offset 0 to where it ends now, in chunks of 1 MiB read
// at offsets: the file position is neither used nor moved, so the same open file can be
// inspected, hashed and copied in any order, and hashing it twice reads it twice. `onChunk`, when
// given, is called with the size of each chunk once it is hashed; whatever it throws ends the
// hashing and is passed on, which is how a caller stops a long hash. Failures of the file system
// are its platform errors, passed on.
std::string sha256(OpenFile& file, FileSystem& fs,
                   const std::function<void(std::size_t)>& onChunk = {});

// The same for a file that must hold exactly `size` bytes, the size its open saw: nothing when it
// ends sooner or holds more by the time it is read, which means another program changed it
// meanwhile. Never reads more than `size` bytes and one more, so a file swapped for a larger one
// costs nothing extra.
std::optional<std::string> sha256OfSize(OpenFile& file, FileSystem& fs, std::uint64_t size,
                                        const std::function<void(std::size_t)>& onChunk = {});

// SHA-256 of bytes given piece by piece, for a reader whose reads the functions above cannot make
// (reads past the page cache, which must be aligned). Fails, with a platform error naming `path`,
// only when memory runs out.
class Sha256Stream {
 public:
  explicit Sha256Stream(std::string path);
  Sha256Stream(const Sha256Stream&) = delete;
  Sha256Stream& operator=(const Sha256Stream&) = delete;
  ~Sha256Stream();

  void add(std::span<const std::byte> bytes);
  // The hash of everything added, as 64 lower-case hex characters; ends the stream.
  std::string finish();

 private:
  struct ContextFree {
    void operator()(::evp_md_ctx_st* context) const noexcept;
  };
  std::string m_path;
  std::unique_ptr<::evp_md_ctx_st, ContextFree> m_context;
};

// SHA-256 of the UTF-8 bytes of a text, as held, as 64 lower-case hex characters.
std::string digest(std::string_view text);

// A UUID-shaped identifier derived from a text: the first 16 bytes of its SHA-256 with the version
// nibble set to 5 and the RFC 4122 variant bits, in canonical lower-case text. Not RFC 4122's
// name-based version 5 (no namespace, SHA-256 instead of SHA-1).
std::string stableUUID(std::string_view text);

}  // namespace quillmere
