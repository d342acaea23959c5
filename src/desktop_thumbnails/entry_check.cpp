#include "desktop_thumbnails/entry_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <utility>
#include <vector>

#include "desktop_thumbnails/thumbnail_names.h"

namespace quillmere {

namespace {

constexpr std::array<unsigned char, 8> kSignature{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

std::uint32_t bigEndian(const std::byte* bytes) {
  return (std::to_integer<std::uint32_t>(bytes[0]) << 24) |
         (std::to_integer<std::uint32_t>(bytes[1]) << 16) |
         (std::to_integer<std::uint32_t>(bytes[2]) << 8) | std::to_integer<std::uint32_t>(bytes[3]);
}

std::optional<long long> wholeSeconds(std::string_view text) {
  long long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

// The most a text's value may hold once inflated: a URI of the longest path, percent-encoded, is
// far less.
constexpr std::size_t kMostTextBytes = 64 << 10;

// A compressed text's value (zlib), inflated up to kMostTextBytes; none past that or when damaged.
std::optional<std::string> inflated(std::string_view compressed) {
  std::string out(kMostTextBytes + 1, '\0');
  z_stream stream{};
  if (::inflateInit(&stream) != Z_OK) return std::nullopt;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
  stream.avail_in = static_cast<uInt>(compressed.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const int result = ::inflate(&stream, Z_FINISH);
  const std::size_t produced = out.size() - stream.avail_out;
  ::inflateEnd(&stream);
  if (result != Z_STREAM_END || produced > kMostTextBytes) return std::nullopt;
  out.resize(produced);
  return out;
}

// The keyword and value of a text chunk of any of the three kinds; none for a damaged one.
std::optional<std::pair<std::string_view, std::string>> textOf(std::string_view kind,
                                                               std::string_view data) {
  const std::size_t split = data.find('\0');
  if (split == std::string_view::npos) return std::nullopt;
  const std::string_view key = data.substr(0, split);
  std::string_view rest = data.substr(split + 1);
  if (kind == "tEXt") return std::pair{key, std::string(rest)};
  if (kind == "zTXt") {
    if (rest.empty() || rest[0] != 0) return std::nullopt;  // deflate is the only method
    std::optional<std::string> value = inflated(rest.substr(1));
    if (!value) return std::nullopt;
    return std::pair{key, std::move(*value)};
  }
  // iTXt: a compression flag and method, then a language tag and a translated keyword.
  if (rest.size() < 2) return std::nullopt;
  const bool compressed = rest[0] != 0;
  rest.remove_prefix(2);
  for (int skipped = 0; skipped < 2; ++skipped) {
    const std::size_t end = rest.find('\0');
    if (end == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(end + 1);
  }
  if (!compressed) return std::pair{key, std::string(rest)};
  std::optional<std::string> value = inflated(rest);
  if (!value) return std::nullopt;
  return std::pair{key, std::move(*value)};
}

bool readAll(int fd, std::vector<std::byte>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t got = ::pread(fd, bytes.data() + done, bytes.size() - done,
                                static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace

std::optional<EntryTexts> readEntryTexts(std::span<const std::byte> png) {
  if (png.size() < kSignature.size() ||
      std::memcmp(png.data(), kSignature.data(), kSignature.size()) != 0) {
    return std::nullopt;
  }
  EntryTexts texts;
  bool uriSeen = false;
  std::size_t at = kSignature.size();
  while (true) {
    if (png.size() - at < 12) return std::nullopt;
    const std::uint32_t length = bigEndian(png.data() + at);
    if (length > png.size() - at - 12) return std::nullopt;
    const std::byte* type = png.data() + at + 4;
    const std::byte* data = type + 4;
    const std::uint32_t stored = bigEndian(data + length);
    const auto computed = ::crc32(::crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(type),
                                  length + 4);
    if (computed != stored) return std::nullopt;
    const std::string_view name(reinterpret_cast<const char*>(type), 4);
    if (name == "IEND") break;
    // Only the cache's own keys are read: another program's texts, compressed or not, cost
    // nothing.
    if (name == "tEXt" || name == "zTXt" || name == "iTXt") {
      const std::string_view data(reinterpret_cast<const char*>(type + 4), length);
      const std::string_view key = data.substr(0, data.find('\0'));
      if (key == "Thumb::URI" || key == "Thumb::MTime") {
        const auto text = textOf(name, data);
        if (!text) return std::nullopt;
        // A second value for a key makes the entry say two things: it is not trusted.
        if (key == "Thumb::URI") {
          if (uriSeen) return std::nullopt;
          uriSeen = true;
          texts.uri = text->second;
        } else {
          if (texts.mtime) return std::nullopt;
          texts.mtime = wholeSeconds(text->second);
          if (!texts.mtime) return std::nullopt;
        }
      }
    }
    at += std::size_t{length} + 12;
  }
  if (!uriSeen) return std::nullopt;
  return texts;
}

UniqueFd openCurrentEntry(const std::string& root, ThumbnailFlavour flavour,
                          std::string_view uri, long long mtime) {
  const std::string path =
      root + "/" + flavourFolder(flavour) + "/" + thumbnailEntryName(uri);
  // Without waiting should it be a FIFO, and never through a link: an entry is a plain file.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
  struct stat status {};
  if (!fd || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      status.st_size <= 0 || static_cast<std::size_t>(status.st_size) > kMostEntryBytes) {
    return {};
  }
  std::vector<std::byte> bytes(static_cast<std::size_t>(status.st_size));
  if (!readAll(fd.get(), bytes)) return {};
  const std::optional<EntryTexts> texts = readEntryTexts(bytes);
  if (!texts || texts->uri != uri || texts->mtime != mtime) return {};
  return fd;
}

}  // namespace quillmere
