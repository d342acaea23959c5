// Times createBatch on generated data and reports, in one run:
//  (a) 8 pairs of 32 MiB: wall time as a ratio to the hashing floor (the bytes the batch must hash,
//      each original twice and each render and its copy once, at OpenSSL's raw SHA-256 speed);
//  (b) 500 pairs of 16 KiB: time per pair, durability (fsync) included;
//  (c) peak resident memory of a process hashing a 4 GiB sparse original;
//  (d) 10 to 500 pairs of 16 KiB, each batch in a fresh process: time per pair and the process's
//      peak memory, which should both stay flat as the batch grows.
// Usage: transfer_bench [work-folder [parts]]   (work-folder: default $TMPDIR or /tmp, on a real
// disk; parts: the letters of the parts to run, default abcd)

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "inspect/digest.h"
#include "platform/file_operations.h"
#include "transfer/create_batch.h"

namespace {

namespace fs = std::filesystem;
using quillmere::bench::Clock;
using quillmere::bench::randomBytes;
using quillmere::bench::seconds;

quillmere::BatchRequest makeBatch(const std::string& root, int pairs, std::size_t size,
                                  std::mt19937_64& rng) {
  fs::create_directories(root + "/in");
  fs::create_directories(root + "/out");
  quillmere::BatchRequest request{"CAPTURE_ONE", "bench", root + "/out", {}};
  for (int i = 0; i < pairs; ++i) {
    const std::string original = root + "/in/o" + std::to_string(i);
    const std::string render = root + "/in/r" + std::to_string(i) + ".png";
    quillmere::bench::writeFile(original, randomBytes(size, rng));
    quillmere::bench::writeFile(render, quillmere::bench::paddedPng(size, rng));
    const std::string index = std::to_string(i);
    std::string photoId("p");
    std::string variantId("v");
    request.items.push_back({original, render, photoId.append(index), variantId.append(index)});
  }
  // Read everything once, so the floor and the batch both start from a warm page cache.
  for (const auto& pair : request.items) {
    quillmere::sha256(pair.sourcePath);
    quillmere::sha256(pair.renderPath);
  }
  // Flush the generated inputs now, so their write-back is not charged to the batch.
  ::sync();
  return request;
}

// User and system time of this process so far, both threads together.
double processorSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto inSeconds = [](const timeval& time) { return time.tv_sec + time.tv_usec / 1e6; };
  return inSeconds(usage.ru_utime) + inSeconds(usage.ru_stime);
}

long peakMemoryOfSparseHash(const std::string& root) {
  const std::string path = root + "/sparse-4GiB";
  { std::ofstream(path, std::ios::binary); }
  fs::resize_file(path, 4'294'967'296);
  const long peak = quillmere::bench::runInChild([&] { quillmere::sha256(path); }).peakKiB;
  fs::remove(path);
  return peak;
}

// Runs one batch in a child process, so its peak memory is its own; returns the batch's wall time
// in seconds and the child's peak resident memory in KiB.
std::pair<double, long> batchInChild(const quillmere::BatchRequest& request) {
  const quillmere::bench::ChildRun run =
      quillmere::bench::runInChild([&] { quillmere::createBatch(request); });
  return {run.seconds, run.peakKiB};
}

}  // namespace

int main(int argc, char** argv) {
  const std::string root =
      quillmere::bench::workFolderBase(argc, argv) + "/quillmere-bench-" + std::to_string(getpid());
  const std::string parts = argc > 2 ? argv[2] : "abcd";
  const auto runs = [&](char part) { return parts.find(part) != std::string::npos; };
  std::mt19937_64 rng(42);

  const double speed = quillmere::bench::rawSha256Speed();
  std::printf("OpenSSL raw SHA-256: %.0f MB/s\n", speed / 1e6);

  if (runs('a')) {
    // Five batches of the same pairs, each into an empty folder: the disk's write-back makes single
    // runs vary by a tenth, so the median is the figure; processor time shows what two cores allow.
    constexpr std::size_t kSize = 32u << 20;
    constexpr int kRuns = 5;
    auto request = makeBatch(root + "/a", 8, kSize, rng);
    const double floor = 8.0 * 4 * kSize / speed;
    std::vector<double> walls;
    std::vector<double> processor;
    for (int run = 0; run < kRuns; ++run) {
      request.destination = root + "/a/out" + std::to_string(run);
      fs::create_directories(request.destination);
      ::sync();
      const double cpuBefore = processorSeconds();
      const auto start = Clock::now();
      quillmere::createBatch(request);
      walls.push_back(seconds(start));
      processor.push_back(processorSeconds() - cpuBefore);
      fs::remove_all(request.destination);
    }
    std::sort(walls.begin(), walls.end());
    std::sort(processor.begin(), processor.end());
    const double wall = walls[kRuns / 2];
    std::printf(
        "(a) 8 pairs of 32 MiB: median %.3f s (best %.3f), hashing floor %.3f s, ratio %.2f "
        "(best %.2f; target <= 0.65); processor time %.3f s\n",
        wall, walls.front(), floor, wall / floor, walls.front() / floor, processor[kRuns / 2]);
  }
  if (runs('b')) {
    const auto request = makeBatch(root + "/b", 500, 16 << 10, rng);
    const auto start = Clock::now();
    quillmere::createBatch(request);
    const double wall = seconds(start);
    std::printf("(b) 500 pairs of 16 KiB: %.3f s, %.3f ms per pair (target <= 0.25)\n", wall,
                wall * 1000 / 500);
  }
  if (runs('c')) {
    std::printf("(c) peak resident memory hashing a 4 GiB sparse original: %.1f MiB (target <= 32)\n",
                peakMemoryOfSparseHash(root) / 1024.0);
  }
  if (runs('d')) {
    std::printf("(d) pairs of 16 KiB, one batch per process:\n");
    for (const int pairs : {10, 50, 100, 250, 500}) {
      const auto request = makeBatch(root + "/d" + std::to_string(pairs), pairs, 16 << 10, rng);
      const auto [wall, peak] = batchInChild(request);
      std::printf("    %3d pairs: %.3f ms per pair, peak resident memory %.1f MiB\n", pairs,
                  wall * 1000 / pairs, peak / 1024.0);
    }
  }
  fs::remove_all(root);
}
