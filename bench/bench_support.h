#pragma once

// What the benchmarks share: where they make their inputs, how they make them, the clock, a child
// process for work whose memory or time must not count against the parent, and the speed of
// hashing that the file checks are measured against.

#include <openssl/evp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <system_error>
#include <vector>

namespace quillmere::bench {

using Clock = std::chrono::steady_clock;

inline double seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// Where a bench makes its inputs: the folder named by its first argument, else $TMPDIR, else /tmp.
inline std::string workFolderBase(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  return argc > 1 ? argv[1] : (tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
}

// A folder of the bench's own below workFolderBase, named after the bench and this process, and
// removed with everything in it when the bench ends.
class ScratchFolder {
 public:
  ScratchFolder(int argc, char** argv, const std::string& bench)
      : m_path(std::filesystem::path(workFolderBase(argc, argv)) /
               ("quillmere-" + bench + "-" + std::to_string(::getpid()))) {
    std::filesystem::create_directories(m_path);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& path() const { return m_path; }

 private:
  std::filesystem::path m_path;
};

// How work done in a child process went: whether it ended well, its wall time measured in the
// child (fork and exit not counted), and the child's peak resident memory in KiB.
struct ChildRun {
  bool ok = false;
  double seconds = 0;
  long peakKiB = 0;
};

// Runs `work` in a child process, so that what it allocates counts against neither the parent's
// peak memory nor its caches of libraries, and the child's peak is the work's own.
inline ChildRun runInChild(const std::function<void()>& work) {
  int channel[2];
  if (::pipe(channel) != 0) return {};
  std::fflush(stdout);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(channel[0]);
    const auto start = Clock::now();
    try {
      work();
    } catch (const std::exception& error) {
      std::fprintf(stderr, "%s\n", error.what());
      ::_exit(1);
    }
    const double wall = seconds(start);
    std::fflush(stdout);
    const ssize_t put = ::write(channel[1], &wall, sizeof wall);
    ::_exit(put == sizeof wall ? 0 : 1);
  }
  ::close(channel[1]);
  ChildRun run;
  const bool timed = child > 0 && ::read(channel[0], &run.seconds, sizeof run.seconds) ==
                                      static_cast<ssize_t>(sizeof run.seconds);
  ::close(channel[0]);
  int status = 0;
  rusage usage{};
  if (child < 0 || ::wait4(child, &status, 0, &usage) != child) return {};
  run.ok = timed && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  run.peakKiB = usage.ru_maxrss;
  return run;
}

// OpenSSL's one-shot SHA-256 throughput on a buffer in memory, bytes per second: the floor that
// hashing files is measured against.
inline double rawSha256Speed() {
  std::vector<unsigned char> buffer(64 << 20, 0x5a);
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  double best = 0;
  for (int round = 0; round < 3; ++round) {
    const auto start = Clock::now();
    EVP_Digest(buffer.data(), buffer.size(), out, &length, EVP_sha256(), nullptr);
    best = std::max(best, static_cast<double>(buffer.size()) / seconds(start));
  }
  return best;
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
