// Times verifyBatch on batches saved by createBatch and reports, in one run:
//  (a) 8 renders of 32 MiB: wall time of the whole check, every file read from the device, as a
//      ratio to the hashing floor (the renders' bytes at OpenSSL's raw single-core SHA-256 speed,
//      measured in the same run), with the throughput and whether the kernel really dropped the
//      cached pages (if not, the reads came from memory and the figure says so);
//  (b) 500 renders of 16 KiB: time per render.
// Each figure is the median of five checks, with the range.
// Usage: verify_bench [work-folder]   (default $TMPDIR or /tmp; use a folder on a real disk)

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "transfer/create_batch.h"
#include "verify/verify_batch.h"

namespace {

namespace fs = std::filesystem;
using quillmere::bench::Clock;
using quillmere::bench::randomBytes;
using quillmere::bench::seconds;

// Saves a batch of `count` renders of `size` bytes and returns its folder.
std::string savedBatch(const std::string& root, int count, std::size_t size, std::mt19937_64& rng) {
  fs::create_directories(root + "/in");
  fs::create_directories(root + "/out");
  quillmere::BatchRequest request{"CAPTURE_ONE", "bench", root + "/out", {}};
  for (int i = 0; i < count; ++i) {
    const std::string n = std::to_string(i);
    quillmere::bench::writeFile(root + "/in/o" + n, "original " + n);
    quillmere::bench::writeFile(root + "/in/r" + n, quillmere::bench::paddedPng(size, rng));
    request.items.push_back({root + "/in/o" + n, root + "/in/r" + n, "p" + n, "v" + n});
  }
  const std::string folder = *quillmere::createBatch(request).directory;
  fs::remove_all(root + "/in");
  ::sync();  // every page clean, so that each check can drop them all
  return folder;
}

// The share of a file's pages in the page cache.
double residentShare(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat status {};
  ::fstat(fd, &status);
  const auto size = static_cast<std::size_t>(status.st_size);
  void* const mapped = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  ::close(fd);
  if (mapped == MAP_FAILED) return -1;
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  std::vector<unsigned char> resident((size + page - 1) / page);
  std::size_t cached = 0;
  if (::mincore(mapped, size, resident.data()) == 0) {
    for (const unsigned char state : resident) cached += state & 1;
  }
  ::munmap(mapped, size);
  return static_cast<double>(cached) / static_cast<double>(resident.size());
}

struct Timings {
  double median = 0, least = 0, most = 0;
};

Timings checkFiveTimes(const std::string& folder) {
  std::vector<double> walls;
  for (int run = 0; run < 5; ++run) {
    const auto start = Clock::now();
    const quillmere::VerifyReport report = quillmere::verifyBatch(folder);
    walls.push_back(seconds(start));
    if (!report.isBatch || !report.problems.empty()) {
      std::fprintf(stderr, "the saved batch does not verify\n");
      std::exit(1);
    }
  }
  std::ranges::sort(walls);
  return {walls[2], walls.front(), walls.back()};
}

}  // namespace

int main(int argc, char** argv) {
  const std::string root = quillmere::bench::workFolderBase(argc, argv) + "/quillmere-verify-bench";
  fs::remove_all(root);
  std::mt19937_64 rng(20261210);

  const double speed = quillmere::bench::rawSha256Speed();
  {
    constexpr std::size_t kSize = 32 << 20;
    const std::string folder = savedBatch(root + "/large", 8, kSize, rng);
    const Timings t = checkFiveTimes(folder);
    const double floor = 8.0 * kSize / speed;
    // What the last check left behind tells whether the drops were honoured here.
    std::string render;
    for (const auto& entry : fs::directory_iterator(folder)) {
      if (entry.path().extension() == ".png") render = entry.path().string();
    }
    std::printf(
        "(a) 8 renders of 32 MiB: median %.3f s (%.3f-%.3f) against a hashing floor of %.3f s "
        "(OpenSSL %.0f MB/s): %.2fx the floor, %.0f MB/s; cached after the check: %.0f%% of a "
        "render\n",
        t.median, t.least, t.most, floor, speed / 1e6, t.median / floor,
        8.0 * kSize / t.median / 1e6, 100 * residentShare(render));
  }
  {
    const std::string folder = savedBatch(root + "/small", 500, 16 << 10, rng);
    const Timings t = checkFiveTimes(folder);
    std::printf("(b) 500 renders of 16 KiB: median %.3f ms per render (%.3f-%.3f)\n",
                t.median * 1e3 / 500, t.least * 1e3 / 500, t.most * 1e3 / 500);
  }
  fs::remove_all(root);
  return 0;
}
