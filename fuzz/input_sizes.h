#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>

namespace quillmere::fuzz {

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
