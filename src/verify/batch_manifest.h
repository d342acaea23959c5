#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "records/records.h"
#include "transfer/manifest.h"

namespace quillmere {

// The largest manifest a request of `requestBytes` can make. Of the request, only the photo and
// variant identifiers reach the manifest, each character written as encodeManifest writes it: a
// "/" (one byte in a request) becomes "\/", two bytes; every other character takes in the
// manifest at most the bytes it took in the request ("\n" stays two, "\u0001" six, an escaped
// or raw UTF-8 character as many bytes as it has at most). So the identifiers take at most twice
// the request's bytes. Everything else is text of fixed size: an item's keys, indentation,
// digests, identifiers, file name and numbers take under kItemText bytes, and the manifest's own
// members and brackets under kManifestText.
inline constexpr std::size_t kItemText = 600;
inline constexpr std::size_t kManifestText = 600;
constexpr std::size_t largestManifestOf(std::size_t requestBytes) {
  return 2 * requestBytes + kMostBatchPairs * kItemText + kManifestText;
}

// A manifest larger than this, or with more items, is not one this program wrote. Requests are
// under 4,194,304 bytes, so the largest manifest one makes is under largestManifestOf(4,194,304)
// = 8,689,208 bytes (8.3 MiB); verify mode holds request mode's limit to this at compile time.
inline constexpr std::size_t kLargestBatchManifest = 9 * 1024 * 1024;
inline constexpr const char* kManifestTooLargePhrase = "文件超过 9 MiB";
static_assert(largestManifestOf(4'194'304) <= kLargestBatchManifest);

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
// Parsed without building a document, in time linear in the bytes: memory running out anywhere
// throws std::bad_alloc and unwinds cleanly. The derived values are taken as they stand: whether
// "renderId", "variantId" and "transferBatchId" still belong to what they are derived from or
// named by, and whether the bytes are exactly the ones encodeManifest gives, are for the caller
// to judge, since such a manifest still describes a batch that can be checked.
ManifestReading readBatchManifest(std::string_view bytes);

}  // namespace quillmere
