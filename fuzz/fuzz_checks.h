#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>

namespace quillmere::fuzz {

// The promises that hostile input must not break, checked on one input. Each returns nothing
// when every promise held, or a description of the one that broke. Crashes, leaks and undefined
// behaviour are the sanitizers' to report; these catch the quiet breakages.
//
// The libFuzzer targets abort on a description; the regression test in tests/reliability replays
// the seed corpora and every input that ever broke a promise through the same functions.

// Request decoding, as request mode does it after the size check: `batchRequestFromJson` either
// returns a request that survives writing and reading back unchanged, or throws a DecodingError
// whose text names the record; nothing else ever escapes. The failure result that request mode
// would write for the input can always be written and read back.
std::optional<std::string> checkRequestDecoding(std::span<const std::byte> bytes);

// Image inspection: `imageInfoOfBytes` either admits a description within every limit, of the
// container the bytes start with, or refuses with one of its two messages and never another
// error; and `imageInfo` of a file holding the same bytes gives exactly the same answer. An
// admitted description matches a plain reading of the header bytes, made here without the image
// libraries: the width, height and bit depth of the JPEG frame header (whose precision fits its
// frame type), the PNG IHDR or the first TIFF directory, and a single image (no further TIFF
// directory, no PNG animation of several frames).
std::optional<std::string> checkImageInspection(std::span<const std::byte> bytes);

// Manifest reading, as --verify does it: `readBatchManifest` never throws, and either refuses with
// a phrase or accepts a manifest of 1 to 500 items whose render file names are each one plain
// component of the folder (no "/", no NUL, neither "." nor "..", not the manifest's own name,
// none named twice) with the extension of the item's format, and which reads back unchanged from
// the bytes this program writes for it.
std::optional<std::string> checkManifestReading(std::span<const std::byte> bytes);

}  // namespace quillmere::fuzz
