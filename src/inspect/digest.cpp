#include "inspect/digest.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>
#include <span>

#include "platform/identity.h"
#include "platform/system_error.h"

namespace quillmere {
namespace {

// Files are streamed in reads of this size; it is also the only buffer held.
constexpr std::size_t kChunkSize = 1 << 20;

using Sha256Value = std::array<unsigned char, 32>;

std::string hexText(std::span<const unsigned char> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const unsigned char byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0F]);
  }
  return text;
}

Sha256Value sha256OfText(std::string_view text) {
  Sha256Value value{};
  unsigned int length = 0;
  // SHA-256 of bytes in memory has no failure of its own; OpenSSL only fails here when it cannot
  // allocate its context.
  if (EVP_Digest(text.data(), text.size(), value.data(), &length, EVP_sha256(), nullptr) != 1) {
    throw std::bad_alloc();
  }
  return value;
}

struct DigestContextDeleter {
  void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
};

// Hashes what `readChunk` puts into the buffer, chunk by chunk, until it reports an empty read;
// only an empty read ends the file, short reads just continue. `path` names the file in errors.
template <typename ReadChunk>
std::string sha256OfChunks(const std::string& path, ReadChunk&& readChunk,
                           const std::function<void(std::size_t)>& onChunk) {
  // OpenSSL fails here only when memory runs out; that is reported like any other failure to
  // read the file, naming it, so callers pass on one kind of platform error.
  std::unique_ptr<EVP_MD_CTX, DigestContextDeleter> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    throwSystemError(ENOMEM, "hash", path);
  }

  const auto buffer = std::make_unique_for_overwrite<std::byte[]>(kChunkSize);
  for (;;) {
    const std::size_t count = readChunk(std::span(buffer.get(), kChunkSize));
    if (count == 0) break;
    if (EVP_DigestUpdate(context.get(), buffer.get(), count) != 1) {
      throwSystemError(ENOMEM, "hash", path);
    }
    if (onChunk) onChunk(count);
  }

  Sha256Value value{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), value.data(), &length) != 1) {
    throwSystemError(ENOMEM, "hash", path);
  }
  return hexText(value);
}

}  // namespace

std::string sha256(const std::string& path, FileSystem& fs) {
  OpenFile file = fs.openForReading(path);
  return sha256OfChunks(path, [&](std::span<std::byte> buffer) { return fs.read(file, buffer); },
                        {});
}

std::string sha256(OpenFile& file, FileSystem& fs,
                   const std::function<void(std::size_t)>& onChunk) {
  std::uint64_t offset = 0;
  return sha256OfChunks(
      file.path,
      [&](std::span<std::byte> buffer) {
        const std::size_t count = fs.readAt(file, offset, buffer);
        offset += count;
        return count;
      },
      onChunk);
}

std::string sha256(OpenFile& file, FileSystem& fs, std::uint64_t length,
                   const std::function<void(std::size_t)>& onChunk) {
  std::uint64_t offset = 0;
  return sha256OfChunks(
      file.path,
      [&](std::span<std::byte> buffer) -> std::size_t {
        if (offset >= length) return 0;  // no read spent on finding the end
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), length - offset));
        const std::size_t count = fs.readAt(file, offset, buffer.first(want));
        offset += count;
        return count;
      },
      onChunk);
}

std::string digest(std::string_view text) { return hexText(sha256OfText(text)); }

std::string stableUUID(std::string_view text) {
  const Sha256Value value = sha256OfText(text);
  std::array<std::uint8_t, 16> bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = value[i];
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x50);  // version nibble 5
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return uuidText(bytes);
}

}  // namespace quillmere
