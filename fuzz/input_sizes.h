#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>

namespace quillmere::fuzz {

// The largest input each decoder's fuzzer tries (its -max_len in scripts/check-reliability.sh): a
// request file one byte short of what request mode refuses, and a manifest of 1 MiB (larger ones
// are only more of the same items).
inline constexpr std::size_t kLargestRequestInput = 4'194'303;
inline constexpr std::size_t kLargestManifestInput = 1'048'576;

// Keeps the size of the largest input the target was given and prints it when the run ends
// ("largest input tried: N bytes"). libFuzzer reports the largest input it kept in its corpus,
// which says nothing of the larger ones it tried and dropped for reaching no new code.
inline void noteInputSize(std::size_t size) {
  static std::size_t largest = 0;
  [[maybe_unused]] static const bool printedAtExit = [] {
    std::atexit([] { std::fprintf(stderr, "largest input tried: %zu bytes\n", largest); });
    return true;
  }();
  if (size > largest) largest = size;
}

}  // namespace quillmere::fuzz
