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

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace quillmere::bench
