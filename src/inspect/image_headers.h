#pragma once

#include <cstdint>
#include <optional>

#include "inspect/byte_source.h"

namespace quillmere::inspect {

// The most memory inspecting one render may take for what its headers declare, whatever they
// declare: a file that would need more is not one the system accepts.
inline constexpr std::uint64_t kLargestHeaderData = 64 * 1024 * 1024;

// What a container's headers say about a file, before any of the system's limits apply. Numbers
// are kept as wide as the formats allow, so a limit is never bypassed by a narrowing conversion.
struct HeaderFacts {
  // Pages of a TIFF, frames of an animated PNG, 1 for a JPEG. Only "exactly one" matters, so a
  // reader may stop counting at 2.
  std::uint64_t imageCount = 0;
  std::uint64_t width = 0;
  std::uint64_t height = 0;
  std::uint64_t bitsPerSample = 0;  // of one colour sample; palette entries count as 8 bits
};

// Each reader parses headers only, with its format's library, and never decodes pixels. A file
// that the library cannot read as that container is an expected outcome, reported as nothing;
// the libraries' own diagnostics are swallowed, never printed. They may throw std::bad_alloc.
std::optional<HeaderFacts> readJpegHeader(ByteSource& source);
std::optional<HeaderFacts> readPngHeader(ByteSource& source);
std::optional<HeaderFacts> readTiffHeader(ByteSource& source);

}  // namespace quillmere::inspect
