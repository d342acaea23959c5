#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "desktop_thumbnails/cache_folders.h"

namespace quillmere {

// A picture to keep: rows of 8-bit RGBA, not premultiplied, top row first.
struct EntryPixels {
  int width = 0;
  int height = 0;
  std::span<const std::uint8_t> rgba;  // width * height * 4 bytes
};

// What the entry records of the file it pictures.
struct EntrySource {
  std::string uri;
  long long mtime = 0;
  long long size = 0;
  std::string mimeType;  // left out when empty
};

// Writes the entry of `source` into this flavour's folder of `root`, making the folders missing
// (mode 0700): a PNG with the Thumb:: text chunks, written to a temporary file of mode 0600 in the
// same folder, created new (never through a link) and renamed over the entry, so a reader sees
// the old entry or the new one whole. False when it could not (a read-only or full disk, say),
// leaving no temporary file behind; the cache is a help, never a condition.
bool writeEntry(const std::string& root, ThumbnailFlavour flavour, const EntrySource& source,
                const EntryPixels& pixels);

}  // namespace quillmere
