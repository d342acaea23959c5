// libFuzzer target: the bytes of a request file, decoded as request mode decodes them.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "fuzz/fuzz_checks.h"
#include "fuzz/input_sizes.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quillmere::fuzz::noteInputSize(size);
  if (const auto broken = quillmere::fuzz::checkRequestDecoding(
          std::as_bytes(std::span<const std::uint8_t>(data, size)))) {
    std::fprintf(stderr, "broken promise: %s\n", broken->c_str());
    std::abort();
  }
  return 0;
}
