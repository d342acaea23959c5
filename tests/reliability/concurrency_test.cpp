// Batches saved into one destination at the same moment, by several request-mode processes and by
// several threads of one process, some of them failing and rolling back meanwhile: each success
// gets a complete folder of its own and no failure disturbs anyone else's. And one batch reading a
// large pair on two threads, failed at every call. These are the cases the ThreadSanitizer build
// runs, so they live in an executable of their own.
#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <latch>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "inspect/digest.h"
#include "inspect/image_info.h"
#include "records/json.h"
#include "reliability/reliability_support.h"
#include "support/images.h"
#include "support/temp_dir.h"
#include "transfer/create_batch.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::writeFile;

constexpr int kProcesses = 4;
constexpr int kSucceedingThreads = 4;
constexpr int kFailingThreads = 2;
constexpr int kPairs = 4;

TEST(ConcurrentBatches, ProcessesAndThreadsSavingIntoOneFolderEachGetTheirOwnCompleteBatch) {
  testing::TempDir dir;
  for (const char* folder : {"in", "out", "caller"}) fs::create_directory(dir / folder);
  const std::string destination = dir / "out";
  const BatchRequest request = testing::smallRequest(dir / "in", destination, kPairs);
  std::vector<std::string> renderDigests;
  for (const auto& pair : request.items) renderDigests.push_back(sha256(pair.renderPath));
  writeFile(dir / "caller/request.json", toJson(request));

  // The same request, except that its last pair names a render that is not an image: it stages
  // the first pairs, then rolls back while the others are still working.
  BatchRequest refused = request;
  refused.items.back().renderPath = refused.items.back().sourcePath;

  std::latch ready(kSucceedingThreads + kFailingThreads + 1);
  std::vector<std::future<std::string>> threads;
  for (int i = 0; i < kSucceedingThreads + kFailingThreads; ++i) {
    const BatchRequest& mine = i < kSucceedingThreads ? request : refused;
    threads.push_back(std::async(std::launch::async, [&ready, &mine] {
      ready.arrive_and_wait();
      try {
        return *createBatch(mine).directory;
      } catch (const std::exception& error) {
        return "failed: " + describe(error);
      }
    }));
  }
  std::vector<testing::ChildProcess> processes;
  for (int i = 0; i < kProcesses; ++i) {
    processes.push_back(
        testing::startBridge({"--request", "request.json", "result" + std::to_string(i) + ".json"},
                             dir / "caller", dir / ("caller/stderr" + std::to_string(i))));
  }
  ready.arrive_and_wait();

  std::set<std::string> folders;
  for (int i = 0; i < kSucceedingThreads + kFailingThreads; ++i) {
    const std::string outcome = threads[static_cast<std::size_t>(i)].get();
    if (i < kSucceedingThreads) {
      folders.insert(outcome);
    } else {
      EXPECT_EQ(outcome, std::string("failed: ") + kNotAnAcceptedImageMessage);
    }
  }
  for (int i = 0; i < kProcesses; ++i) {
    SCOPED_TRACE("process " + std::to_string(i));
    EXPECT_EQ(testing::waitForExit(processes[static_cast<std::size_t>(i)]), 0);
    EXPECT_EQ(readFile(dir / ("caller/stderr" + std::to_string(i))), "");
    const BatchResult result =
        batchResultFromJson(readFile(dir / ("caller/result" + std::to_string(i) + ".json")));
    ASSERT_TRUE(result.directory);
    EXPECT_EQ(result.count, kPairs);
    folders.insert(*result.directory);
  }

  // Every success has a folder of its own, complete with its own renders; nothing else is left.
  EXPECT_EQ(folders.size(), static_cast<std::size_t>(kSucceedingThreads + kProcesses));
  std::set<std::string> present;
  for (const auto& name : testing::namesIn(destination)) present.insert(destination + "/" + name);
  EXPECT_EQ(present, folders);
  EXPECT_EQ(testing::incompleteBatchesIn(destination, kPairs, renderDigests), "");
}

// A pair of large files is read on two threads at once; a failure on either thread still fails
// the batch cleanly, whichever thread happens to make the failing call.
TEST(ConcurrentReads, FailuresWhileTwoThreadsReadALargePairAreHandledLikeAnyOther) {
  testing::TempDir dir;
  for (const char* folder : {"in", "out"}) fs::create_directory(dir / folder);
  const std::string destination = dir / "out";
  BatchRequest request = testing::smallRequest(dir / "in", destination, 2);
  constexpr std::size_t kLarge = 4 << 20;  // large enough to be read on two threads
  writeFile(request.items[1].sourcePath, std::string(kLarge, 'o'));
  writeFile(request.items[1].renderPath, testing::paddedPng(kLarge, 1));
  const testing::CallLog calls =
      testing::recordCalls([&](FileSystem& fs) { createBatch(request, fs); });
  fs::remove_all(destination);
  fs::create_directory(destination);
  const auto before = testing::snapshot(dir.path());

  testing::forEachCall(calls, [&](testing::FsOp op, int k, const std::string& path) {
    testing::FaultyFileSystem faulty(op, k, path);
    const std::string failure = testing::failureOf([&] { createBatch(request, faulty); });
    ASSERT_TRUE(faulty.fired());
    if (testing::onlyMakesTheCommitDurable(op, path, destination) ||
        testing::onlyClearsLeftovers(op, path, destination) ||
        testing::onlyTakesAwayTheRecordBeside(op, path, destination)) {
      // After the commit the batch is saved; it stays and is reported as saved. Nor does failing
      // to clear what dead batches left fail it, nor failing to take away the owner record that
      // stands beside its staging folder for a moment.
      EXPECT_EQ(failure, "no failure");
      fs::remove_all(destination);
      fs::create_directory(destination);
    } else if (failure != kChooseFolderAgainMessage && failure != kNotAnAcceptedImageMessage) {
      EXPECT_EQ(failure.rfind("无法对“", 0), 0u) << failure;
      EXPECT_NE(failure.find(std::string("”执行 injected ") + testing::name(op) + "："),
                std::string::npos)
          << failure;
      EXPECT_TRUE(failure.ends_with("输入/输出错误（EIO）")) << failure;
    }
    ASSERT_EQ(testing::snapshot(dir.path()), before);
  });
}

}  // namespace
}  // namespace quillmere
