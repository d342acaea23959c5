#pragma once

// What both benchmarks need to make their inputs and time them.

#include <chrono>
#include <cstring>
#include <fstream>
#include <random>
#include <string>

namespace quillmere::bench {

using Clock = std::chrono::steady_clock;

inline double seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// Incompressible content, reproducible from the generator's seed.
inline std::string randomBytes(std::size_t size, std::mt19937_64& rng) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i + 8 <= size; i += 8) {
    const auto value = rng();
    std::memcpy(&bytes[i], &value, 8);
  }
  return bytes;
}

// A render of `size` bytes: the smallest valid PNG (1x1, 8-bit grey) padded with random bytes,
// which inspection never reads, so any size costs only its writing.
inline std::string paddedPng(std::size_t size, std::mt19937_64& rng) {
  static constexpr unsigned char kTinyPng[] = {
      0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48,
      0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x00, 0x00, 0x00,
      0x00, 0x3a, 0x7e, 0x9b, 0x55, 0x00, 0x00, 0x00, 0x0a, 0x49, 0x44, 0x41, 0x54, 0x78,
      0x9c, 0x63, 0x60, 0x00, 0x00, 0x00, 0x02, 0x00, 0x01, 0xe5, 0x27, 0xde, 0xfc, 0x00,
      0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
  const std::string png(reinterpret_cast<const char*>(kTinyPng), sizeof kTinyPng);
  return png + randomBytes(size - png.size(), rng);
}

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace quillmere::bench
