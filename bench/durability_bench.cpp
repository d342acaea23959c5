// Times the ways of making a batch's files durable, on plain files written as a batch writes its
// copies, so that the choice between them can be repeated on any disk:
//   per-file        each file flushed right after it is written (two writers, as a batch has)
//   after-writes    every file written, then each flushed in turn
//   kicked          every file written, write-back started for all, then each flushed in turn
//   in-flight 2     every file written, then flushed from two threads at once
//   kicked, N       the same after starting the write-back of every file, from N threads
//   groups of G     two writers, each flushing its files G at a time behind its writes
//   kicked 16s      the same with each file's write-back started as it is written
//   syncfs          every file written, then one syncfs(2) of the file system
//   syncfs, each    the same, then each file flushed in turn (finding little left to do)
// and, with a large unrelated write running in the same file system (another program's), the
// time of the grouped flushes against that of one syncfs, which also waits for the other write.
// Usage: durability_bench [work-folder [pairs [kib [rounds]]]]
//   default: $TMPDIR or /tmp, 500 files of 16 KiB, 5 rounds; the folder should be on the disk
//   that batches are saved to (tmpfs flushes nothing and shows nothing).
//   Add a fifth argument `busy` for the second table; it writes 2000 MiB beside the files.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

[[noreturn]] void fail(const char* what) {
  std::perror(what);
  std::exit(1);
}

struct Batch {
  std::string folder;
  std::vector<int> fds;
};

int writeOne(const std::string& folder, std::size_t index, const std::vector<char>& bytes) {
  const std::string path = folder + "/f" + std::to_string(index);
  const int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0644);
  if (fd < 0) fail("open");
  if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) fail("write");
  return fd;
}

void flush(int fd) {
  if (::fsync(fd) != 0) fail("fsync");
}

void kick(int fd) { ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE); }

// Writes `count` files into a new folder and makes them durable with `strategy`; returns seconds.
using Strategy = std::function<void(const std::string& folder, std::size_t count,
                                    const std::vector<char>& bytes, std::vector<int>& fds)>;

pid_t startBusyWriter(const std::string& root);

double timeOnce(const std::string& root, std::size_t count, const std::vector<char>& bytes,
                const Strategy& strategy, bool busy) {
  const std::string folder = root + "/batch";
  fs::create_directories(folder);
  ::sync();  // nothing of the previous round is left to write
  const pid_t writer = busy ? startBusyWriter(root) : -1;
  std::vector<int> fds(count, -1);
  const auto start = Clock::now();
  strategy(folder, count, bytes, fds);
  // The folder's entries, as a batch flushes its staging folder.
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  flush(dir);
  const double elapsed = since(start);
  ::close(dir);
  for (int fd : fds) ::close(fd);
  fs::remove_all(folder);
  if (writer > 0) {
    ::waitpid(writer, nullptr, 0);
    fs::remove(root + "/busy");
  }
  return elapsed;
}

void writeAll(const std::string& folder, std::size_t count, const std::vector<char>& bytes,
              std::vector<int>& fds) {
  for (std::size_t i = 0; i < count; ++i) fds[i] = writeOne(folder, i, bytes);
}

void flushFromThreads(std::vector<int>& fds, std::size_t threads) {
  std::vector<std::thread> flushers;
  for (std::size_t t = 0; t < threads; ++t) {
    flushers.emplace_back([&, t] {
      for (std::size_t i = t; i < fds.size(); i += threads) flush(fds[i]);
    });
  }
  for (auto& flusher : flushers) flusher.join();
}

Strategy perFile() {
  return [](const std::string& folder, std::size_t count, const std::vector<char>& bytes,
            std::vector<int>& fds) {
    // Two writers, each flushing its own files one by one, as the batch's two threads did.
    std::vector<std::thread> writers;
    for (std::size_t t = 0; t < 2; ++t) {
      writers.emplace_back([&, t] {
        for (std::size_t i = t; i < count; i += 2) {
          fds[i] = writeOne(folder, i, bytes);
          flush(fds[i]);
        }
      });
    }
    for (auto& writer : writers) writer.join();
  };
}

Strategy afterWrites(bool kickFirst, std::size_t threads) {
  return [=](const std::string& folder, std::size_t count, const std::vector<char>& bytes,
             std::vector<int>& fds) {
    writeAll(folder, count, bytes, fds);
    if (kickFirst) {
      for (int fd : fds) kick(fd);
    }
    flushFromThreads(fds, threads);
  };
}

Strategy groups(std::size_t size, bool kickEach) {
  return [=](const std::string& folder, std::size_t count, const std::vector<char>& bytes,
             std::vector<int>& fds) {
    // Two writers; each flushes its files `size` at a time, behind its writes, having started the
    // write-back of each as it was written when `kickEach`.
    std::vector<std::thread> writers;
    for (std::size_t t = 0; t < 2; ++t) {
      writers.emplace_back([&, t] {
        std::vector<int> pending;
        for (std::size_t i = t; i < count; i += 2) {
          fds[i] = writeOne(folder, i, bytes);
          if (kickEach) kick(fds[i]);
          pending.push_back(fds[i]);
          if (pending.size() == size) {
            for (int fd : pending) flush(fd);
            pending.clear();
          }
        }
        for (int fd : pending) flush(fd);
      });
    }
    for (auto& writer : writers) writer.join();
  };
}

Strategy syncFileSystem(bool thenEach) {
  return [=](const std::string& folder, std::size_t count, const std::vector<char>& bytes,
             std::vector<int>& fds) {
    writeAll(folder, count, bytes, fds);
    if (::syncfs(fds[0]) != 0) fail("syncfs");
    if (thenEach) flushFromThreads(fds, 1);
  };
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Starts another program's large write in `root`, as dd would: 2000 MiB, flushed at its end.
pid_t startBusyWriter(const std::string& root) {
  const pid_t child = ::fork();
  if (child < 0) fail("fork");
  if (child == 0) {
    const std::string target = "of=" + root + "/busy";
    ::execlp("dd", "dd", "if=/dev/zero", target.c_str(), "bs=1M", "count=2000", "conv=fsync",
             "status=none", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // Let it fill the cache with dirty pages first, as a copy in progress would have.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  return child;
}

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  const std::string base = argc > 1 ? argv[1] : (tmp ? tmp : "/tmp");
  const std::size_t count = argc > 2 ? std::stoul(argv[2]) : 500;
  const std::size_t kib = argc > 3 ? std::stoul(argv[3]) : 16;
  const int rounds = argc > 4 ? std::stoi(argv[4]) : 5;
  const bool busy = argc > 5 && std::string(argv[5]) == "busy";
  const std::string root = base + "/durability-bench-" + std::to_string(::getpid());
  fs::create_directories(root);

  std::vector<char> bytes(kib << 10);
  std::mt19937 rng(7);
  for (char& b : bytes) b = static_cast<char>(rng());

  struct Case {
    std::string name;
    Strategy strategy;
  };
  std::vector<Case> cases = {
      {"per-file", perFile()},
      {"after-writes", afterWrites(false, 1)},
      {"kicked", afterWrites(true, 1)},
      {"in-flight 2", afterWrites(false, 2)},
      {"kicked, 2", afterWrites(true, 2)},
      {"kicked, 8", afterWrites(true, 8)},
      {"groups of 16", groups(16, false)},
      {"kicked 16s", groups(16, true)},
      {"groups of 64", groups(64, false)},
      {"syncfs", syncFileSystem(false)},
      {"syncfs, each", syncFileSystem(true)},
  };
  if (busy) {
    // Only the two that a batch would choose between, each beside another program's large write.
    cases = {{"per-file", perFile()}, {"groups of 16", groups(16, false)},
             {"syncfs", syncFileSystem(false)}};
  }
  std::printf("%zu files of %zu KiB in %s, %d rounds%s\n", count, kib, root.c_str(), rounds,
              busy ? ", each beside a 2000 MiB write by dd" : "");
  std::vector<std::vector<double>> times(cases.size());
  for (int round = 0; round < rounds; ++round) {
    // Alternating, so that a machine drifting in speed treats every case alike.
    for (std::size_t c = 0; c < cases.size(); ++c) {
      times[c].push_back(timeOnce(root, count, bytes, cases[c].strategy, busy));
    }
  }
  for (std::size_t c = 0; c < cases.size(); ++c) {
    const auto [low, high] = std::minmax_element(times[c].begin(), times[c].end());
    std::printf("  %-14s median %7.3f s (%.3f to %.3f)\n", cases[c].name.c_str(), median(times[c]),
                *low, *high);
  }
  fs::remove_all(root);
}
