#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "desktop_thumbnails/cache_folders.h"
#include "platform/unique_fd.h"

namespace quillmere {

// The most an entry may hold: a 256-pixel picture with every channel and some text is far less.
// Anything larger is no entry this program trusts, whoever wrote it.
inline constexpr std::size_t kMostEntryBytes = std::size_t{4} << 20;

// What an entry says about the file it pictures.
struct EntryTexts {
  std::string uri;
  std::optional<long long> mtime;
};

// The Thumb::URI and Thumb::MTime of a PNG's bytes, by walking its chunks and checking each one's
// length and CRC. Their values may be plain (tEXt, as written here) or compressed (zTXt, iTXt, as
// Qt's writer leaves values over 40 letters, which other desktops' thumbnailers use); a compressed
// value is inflated by zlib into a bounded buffer, and no pixel is decoded, so the work is bounded
// by the bytes given. None when the bytes are no complete, intact PNG.
std::optional<EntryTexts> readEntryTexts(std::span<const std::byte> png);

// The entry for `uri` in this flavour's folder, opened read-only, when it is current: a regular
// file (never reached through a symbolic link) of at most kMostEntryBytes, an intact PNG whose
// Thumb::URI is `uri` and whose Thumb::MTime is `mtime`. Anything else gives none, and is then
// rewritten; an entry found is still decoded only by a picture worker.
UniqueFd openCurrentEntry(const std::string& root, ThumbnailFlavour flavour,
                          std::string_view uri, long long mtime);

}  // namespace quillmere
