#include "inspect/digest.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <utility>

#include "platform/identity.h"
#include "platform/system_error.h"

namespace quillmere {
namespace {

// Files are streamed in chunks of this size; it is also the only buffer held.
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
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextDeleter>;

// OpenSSL fails only when memory runs out; that is reported like any other failure to read the
// file, naming it, so callers pass on one kind of platform error.
DigestContext newContext(const std::string& path) {
  DigestContext context(EVP_MD_CTX_new());
  if (!context) throwSystemError(ENOMEM, "hash", path);
  return context;
}

std::string finish(EVP_MD_CTX* context, const std::string& path) {
  Sha256Value value{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context, value.data(), &length) != 1) throwSystemError(ENOMEM, "hash", path);
  return hexText(value);
}

DigestContext startedContext(const std::string& path) {
  DigestContext context = newContext(path);
  if (EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    throwSystemError(ENOMEM, "hash", path);
  }
  return context;
}

// Hashes what `readChunk` puts into the buffer, chunk by chunk, until it reports an empty read;
// only an empty read ends the file, short reads just continue. Returns the bytes hashed.
template <typename ReadChunk>
std::uint64_t hashChunks(EVP_MD_CTX* context, const std::string& path, ReadChunk&& readChunk,
                         const std::function<void(std::size_t)>& onChunk) {
  const auto buffer = std::make_unique_for_overwrite<std::byte[]>(kChunkSize);
  std::uint64_t hashed = 0;
  for (;;) {
    const std::size_t count = readChunk(std::span(buffer.get(), kChunkSize), hashed);
    if (count == 0) return hashed;
    if (EVP_DigestUpdate(context, buffer.get(), count) != 1) throwSystemError(ENOMEM, "hash", path);
    hashed += count;
    if (onChunk) onChunk(count);
  }
}

}  // namespace

std::string sha256(const std::string& path, FileSystem& fs) {
  OpenFile file = fs.openForReading(path);
  const DigestContext context = startedContext(path);
  hashChunks(
      context.get(), path,
      [&](std::span<std::byte> buffer, std::uint64_t) { return fs.read(file, buffer); }, {});
  return finish(context.get(), path);
}

std::string sha256(OpenFile& file, FileSystem& fs,
                   const std::function<void(std::size_t)>& onChunk) {
  const DigestContext context = startedContext(file.path);
  hashChunks(
      context.get(), file.path,
      [&](std::span<std::byte> buffer, std::uint64_t offset) {
        return fs.readAt(file, offset, buffer);
      },
      onChunk);
  return finish(context.get(), file.path);
}

std::optional<std::string> sha256OfSize(OpenFile& file, FileSystem& fs, std::uint64_t size,
                                        const std::function<void(std::size_t)>& onChunk) {
  const DigestContext context = startedContext(file.path);
  const auto buffer = std::make_unique_for_overwrite<std::byte[]>(kChunkSize);
  std::uint64_t offset = 0;
  for (;;) {
    // The last read asks for one byte more than should be left, so that one read both finishes
    // the file and shows that nothing follows; only a size that ends on a chunk's end needs a
    // read of its own to see the end.
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, size - offset + 1));
    const std::size_t count = fs.readAt(file, offset, std::span(buffer.get(), want));
    if (count == 0) break;
    // Bytes past `size`: the file grew after its open.
    if (count > size - offset) return std::nullopt;
    if (EVP_DigestUpdate(context.get(), buffer.get(), count) != 1) {
      throwSystemError(ENOMEM, "hash", file.path);
    }
    offset += count;
    if (onChunk) onChunk(count);
    // A read shorter than asked ends the file where it should end.
    if (offset == size && count < want) break;
  }
  // An end before `size` is a file cut short ahead of the reader.
  if (offset < size) return std::nullopt;
  return finish(context.get(), file.path);
}

void Sha256Stream::ContextFree::operator()(::evp_md_ctx_st* context) const noexcept {
  EVP_MD_CTX_free(context);
}

Sha256Stream::Sha256Stream(std::string path)
    : m_path(std::move(path)), m_context(startedContext(m_path).release()) {}

Sha256Stream::~Sha256Stream() = default;

void Sha256Stream::add(std::span<const std::byte> bytes) {
  if (EVP_DigestUpdate(m_context.get(), bytes.data(), bytes.size()) != 1) {
    throwSystemError(ENOMEM, "hash", m_path);
  }
}

std::string Sha256Stream::finish() { return quillmere::finish(m_context.get(), m_path); }

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
