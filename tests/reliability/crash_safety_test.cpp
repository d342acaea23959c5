// Request mode killed with SIGKILL at random moments while it saves a batch of large renders. No
// clean-up code runs after SIGKILL, so whatever the destination shows afterwards is what a crash
// would leave: hidden staging at most, never a visible batch folder that is not complete. And
// once the next save into that folder has run, nothing hidden is left at all.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "inspect/digest.h"
#include "records/json.h"
#include "reliability/reliability_support.h"
#include "support/temp_dir.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using testing::readFile;
using testing::writeFile;

constexpr unsigned kSeed = 20240611;
constexpr int kKills = 24;
constexpr int kRenders = 8;
constexpr std::size_t kRenderSize = 8 << 20;

TEST(CrashSafety, ABatchKilledAtAnyMomentLeavesNothingOnceTheNextSaveHasRun) {
  testing::TempDir dir;
  for (const char* folder : {"in", "out", "caller"}) fs::create_directory(dir / folder);
  const std::string destination = dir / "out";
  BatchRequest request{"CAPTURE_ONE", "catalog", destination, {}};
  std::vector<std::string> renderDigests;
  for (int i = 0; i < kRenders; ++i) {
    const std::string render = dir / (std::string("in/render") + std::to_string(i) + ".png");
    writeFile(render, testing::paddedPng(kRenderSize, i));
    renderDigests.push_back(sha256(render));
    const std::string original = dir / (std::string("in/original") + std::to_string(i) + ".iiq");
    writeFile(original, std::string("original ") + std::to_string(i));
    request.items.push_back({original, render, std::string("photo-") + std::to_string(i),
                             std::string("v") + std::to_string(i)});
  }
  writeFile(dir / "caller/request.json", toJson(request));
  const std::vector<std::string> args = {"--request", "request.json", "result.json"};
  const std::string caller = dir / "caller";
  const std::string stderrPath = dir / "stderr.txt";

  // One undisturbed run shows how long a whole batch takes on this machine; the kills are spread
  // over that time and a little beyond, so they land in every phase of the batch.
  const auto start = Clock::now();
  testing::ChildProcess undisturbed = testing::startBridge(args, caller, stderrPath);
  ASSERT_EQ(testing::waitForExit(undisturbed), 0);
  const auto whole = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
  ASSERT_EQ(testing::incompleteBatchesIn(destination, kRenders, renderDigests), "");
  fs::remove_all(destination);
  fs::create_directory(destination);
  fs::remove(caller + "/result.json");

  std::cout << "SIGKILL seed " << kSeed << ", " << kKills << " kills over " << whole.count() / 1000
            << " ms\n";
  ::testing::Test::RecordProperty("seed", static_cast<int>(kSeed));
  std::mt19937 random(kSeed);
  std::uniform_int_distribution<long> delay(0, whole.count() * 6 / 5);

  int leftStaging = 0, leftBatch = 0, leftNothing = 0;
  for (int kill = 0; kill < kKills; ++kill) {
    const long after = delay(random);
    SCOPED_TRACE(std::string("kill ") + std::to_string(kill) + " after " + std::to_string(after) +
                 " us");
    testing::ChildProcess bridge = testing::startBridge(args, caller, stderrPath);
    std::this_thread::sleep_for(std::chrono::microseconds(after));
    ::kill(bridge.pid(), SIGKILL);
    const int status = testing::waitForExit(bridge);
    EXPECT_TRUE(status == -SIGKILL || status == 0) << status;

    bool staging = false, batch = false;
    for (const auto& name : testing::namesIn(destination)) {
      staging = staging || name.starts_with(".quillmere-partial-");
      batch = batch || name.starts_with("Quillmere-");
      EXPECT_TRUE(name.starts_with(".quillmere-partial-") || name.starts_with("Quillmere-"))
          << name;
    }
    EXPECT_EQ(testing::incompleteBatchesIn(destination, kRenders, renderDigests), "");
    // A result file, when there is one, is whole and names a batch folder that is there.
    if (fs::exists(caller + "/result.json")) {
      const BatchResult result = batchResultFromJson(readFile(caller + "/result.json"));
      ASSERT_TRUE(result.directory);
      EXPECT_TRUE(fs::is_directory(*result.directory));
    }
    leftStaging += staging;
    leftBatch += batch;
    leftNothing += !staging && !batch;
    // Beside the request and the result, only the result's hidden temporary file may be left.
    for (const auto& name : testing::namesIn(caller)) {
      if (name == "request.json") continue;
      EXPECT_TRUE(name == "result.json" || name.starts_with(".result.json.tmp-")) << name;
    }

    // The next save into the same folder, with the same result path, clears what the killed one
    // left: nothing hidden stays, in the destination or beside the result.
    testing::ChildProcess next = testing::startBridge(args, caller, stderrPath);
    ASSERT_EQ(testing::waitForExit(next), 0) << readFile(stderrPath);
    for (const auto& name : testing::namesIn(destination)) {
      EXPECT_TRUE(name.starts_with("Quillmere-")) << name << " left after the next save";
    }
    EXPECT_EQ(testing::incompleteBatchesIn(destination, kRenders, renderDigests), "");
    EXPECT_EQ(testing::namesIn(caller), (std::vector<std::string>{"request.json", "result.json"}));

    fs::remove(caller + "/result.json");
    fs::remove_all(destination);
    fs::create_directory(destination);
  }
  std::cout << "left hidden staging " << leftStaging << " times, a complete batch " << leftBatch
            << " times, nothing " << leftNothing << " times\n";
  // The kills did land while batches were being built.
  EXPECT_GT(leftStaging, 0);
}

}  // namespace
}  // namespace quillmere
