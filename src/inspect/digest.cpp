#include "inspect/digest.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <span>

#include "platform/identity.h"
#include "platform/system_error.h"

namespace quillmere {
namespace {

// Files are streamed in chunks of this size; it is also the only buffer held.
constexpr std::size_t kChunkSize = 1 << 20;

// Files of at least this many bytes are hashed straight from memory maps of the window's size,
// which spares copying every byte into the buffer first; smaller ones cost less read than mapped.
constexpr std::uint64_t kMapThreshold = 1 << 20;
constexpr std::size_t kMapWindow = 4 << 20;

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

// Hashes what `readChunk` puts into the buffer, chunk by chunk, until it reports an empty read;
// only an empty read ends the file, short reads just continue. `path` names the file in errors.
template <typename ReadChunk, typename OnChunk>
void hashChunks(EVP_MD_CTX* context, const std::string& path, ReadChunk&& readChunk,
                OnChunk&& onChunk) {
  const auto buffer = std::make_unique_for_overwrite<std::byte[]>(kChunkSize);
  for (;;) {
    const std::size_t count = readChunk(std::span(buffer.get(), kChunkSize));
    if (count == 0) break;
    if (EVP_DigestUpdate(context, buffer.get(), count) != 1) throwSystemError(ENOMEM, "hash", path);
    onChunk(count);
  }
}

// Where hashing from maps stopped: reads go on from `resume`; `told` bytes were told to onChunk.
struct MappedPart {
  std::uint64_t resume = 0;
  std::uint64_t told = 0;
};

// Hashes the first `length` bytes of an open file from memory maps, chunk by chunk as reads
// would, and stops early where the file system would not map or the file turned out shorter than
// the maps. The value stays exactly what reading would give. A chunk whose pages faulted (past the
// end of a file cut short) is undone. And since a map shows zeros past the end in the page where a
// file ends, a file found to end inside the last chunk hashed has that chunk undone too: it was
// hashed after the cut, with zeros the file never held. Chunks wholly past the end were hashed
// before the cut (after it they would have faulted), from bytes the file then held, as reads
// would have.
MappedPart hashMapped(EVP_MD_CTX* context, OpenFile& file, FileSystem& fs, std::uint64_t length,
                      const std::function<void(std::size_t)>& onChunk) {
  const auto copyState = [&](EVP_MD_CTX* into, const EVP_MD_CTX* from) {
    if (EVP_MD_CTX_copy_ex(into, from) != 1) throwSystemError(ENOMEM, "hash", file.path);
  };
  // The state before the chunk being hashed, and before the one hashed last.
  DigestContext beforeThis = newContext(file.path);
  DigestContext beforeLast = newContext(file.path);
  std::uint64_t thisStart = 0;
  std::uint64_t lastStart = 0;
  std::uint64_t hashed = 0;  // every chunk up to here hashed whole
  bool faulted = false;
  struct Update {
    EVP_MD_CTX* context;
    bool done = false;
  };
  for (std::uint64_t window = 0; window < length && !faulted; window += kMapWindow) {
    const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(kMapWindow, length - window));
    const MappedBytes mapped = fs.mapForReading(file, window, size);
    if (!mapped) break;
    for (std::size_t at = 0; at < size; at += kChunkSize) {
      const std::size_t count = std::min(kChunkSize, size - at);
      std::swap(beforeThis, beforeLast);
      lastStart = thisStart;
      thisStart = window + at;
      copyState(beforeThis.get(), context);
      Update update{context};
      const bool touched = touchMapped(
          mapped.bytes().subspan(at, count),
          [](void* job, std::span<const std::byte> bytes) {
            auto& update = *static_cast<Update*>(job);
            update.done = EVP_DigestUpdate(update.context, bytes.data(), bytes.size()) == 1;
          },
          &update);
      if (!touched) {
        copyState(context, beforeThis.get());
        faulted = true;
        break;
      }
      if (!update.done) throwSystemError(ENOMEM, "hash", file.path);
      hashed = thisStart + count;
      if (onChunk) onChunk(count);
    }
  }
  if (hashed == 0) return {};
  const std::uint64_t lastHashedStart = faulted ? lastStart : thisStart;
  const auto end = static_cast<std::uint64_t>(fs.status(file).size);
  if (end < hashed && end > lastHashedStart) {
    copyState(context, faulted ? beforeLast.get() : beforeThis.get());
    return {lastHashedStart, hashed};
  }
  return {hashed, hashed};
}

// Reads an open file at offsets into the hash from `offset`, up to `limit` when given and
// otherwise to where the file ends. `onChunk` hears only of bytes past `reported`.
void hashReads(EVP_MD_CTX* context, OpenFile& file, FileSystem& fs, std::uint64_t offset,
               std::optional<std::uint64_t> limit, std::uint64_t reported,
               const std::function<void(std::size_t)>& onChunk) {
  hashChunks(
      context, file.path,
      [&](std::span<std::byte> buffer) -> std::size_t {
        if (limit && offset >= *limit) return 0;  // no read spent on finding the end
        const auto want = limit ? static_cast<std::size_t>(
                                      std::min<std::uint64_t>(buffer.size(), *limit - offset))
                                : buffer.size();
        const std::size_t count = fs.readAt(file, offset, buffer.first(want));
        offset += count;
        return count;
      },
      [&](std::size_t count) {
        if (onChunk && offset > reported) {
          onChunk(static_cast<std::size_t>(std::min<std::uint64_t>(count, offset - reported)));
        }
      });
}

DigestContext startedContext(const std::string& path) {
  DigestContext context = newContext(path);
  if (EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    throwSystemError(ENOMEM, "hash", path);
  }
  return context;
}

// Hashes an open file from offset 0: the first `mappable` bytes from maps where that pays, then
// reads at offsets, up to `limit` when given and otherwise to where the file ends.
std::string hashOpenFile(OpenFile& file, FileSystem& fs, std::uint64_t mappable,
                         std::optional<std::uint64_t> limit,
                         const std::function<void(std::size_t)>& onChunk) {
  const DigestContext context = startedContext(file.path);
  const MappedPart mapped = mappable >= kMapThreshold
                                ? hashMapped(context.get(), file, fs, mappable, onChunk)
                                : MappedPart{};
  hashReads(context.get(), file, fs, mapped.resume, limit, mapped.told, onChunk);
  return finish(context.get(), file.path);
}

}  // namespace

std::string sha256(const std::string& path, FileSystem& fs) {
  OpenFile file = fs.openForReading(path);
  const DigestContext context = startedContext(path);
  hashChunks(
      context.get(), path, [&](std::span<std::byte> buffer) { return fs.read(file, buffer); },
      [](std::size_t) {});
  return finish(context.get(), path);
}

std::string sha256(OpenFile& file, FileSystem& fs, const std::function<void(std::size_t)>& onChunk,
                   std::uint64_t knownSize) {
  return hashOpenFile(file, fs, knownSize, std::nullopt, onChunk);
}

std::string sha256(OpenFile& file, FileSystem& fs, std::uint64_t length,
                   const std::function<void(std::size_t)>& onChunk) {
  return hashOpenFile(file, fs, length, length, onChunk);
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
