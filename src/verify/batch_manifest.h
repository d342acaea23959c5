#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "transfer/manifest.h"

namespace quillmere {

// A manifest larger than this, or with more items, is not one this program wrote: a batch holds
// at most 500 renders, whose items take well under 1 KiB each.
inline constexpr std::size_t kLargestBatchManifest = 8 * 1024 * 1024;
inline constexpr std::size_t kMostBatchItems = 500;

// What reading a batch's manifest gave: the manifest, or why the bytes are not one.
struct ManifestReading {
  std::optional<Manifest> manifest;
  std::string refusal;  // a Chinese phrase naming what is wrong, when there is no manifest
};

// Reads the bytes of a transfer manifest as a batch folder holds them, strictly: one JSON object
// of exactly the keys, types and forms that createBatch writes; 1 to 500 items; render file names
// that are a lower-case UUID and the extension of the item's format, each named once; digests of
// 64 lower-case hex digits; formats, sizes and bit depths that inspection can report. Everything
// else is refused, among it bytes over kLargestBatchManifest, nesting deeper than the manifest's
// three levels, duplicate keys, numbers that are not integers or do not fit, and texts holding a
// NUL. Refusing is done while parsing: a hostile document costs at most its own size in memory.
//
// The derived values are taken as they stand: whether "renderId" still belongs to "renderSha256"
// and whether the bytes are exactly the ones encodeManifest gives are for the caller to judge,
// since such a manifest still describes a batch that can be checked.
ManifestReading readBatchManifest(std::string_view bytes);

}  // namespace quillmere
