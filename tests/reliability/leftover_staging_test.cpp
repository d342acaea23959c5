// What dead batches left in a destination is cleared by the next batch there, and only that: a
// live batch's staging (another process's, or one whose lock another program holds), a link or a
// file named like staging, and a folder the user cannot empty all stay, and the batch succeeds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/bridge_process.h"
#include "platform/unique_fd.h"
#include "records/json.h"
#include "reliability/reliability_support.h"
#include "support/temp_dir.h"
#include "transfer/create_batch.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using testing::writeFile;

constexpr const char* kDead = ".quillmere-partial-0b6c3f4e-dead-4000-8000-000000000001";
constexpr const char* kLive = ".quillmere-partial-0b6c3f4e-11fe-4000-8000-000000000002";

class LeftoverStaging : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* folder : {"in", "out", "elsewhere"}) fs::create_directory(m_dir / folder);
  }
  std::string destination() const { return m_dir / "out"; }

  // A staging folder as a batch killed mid-copy leaves it: some copies, and no manifest.
  void leaveStaging(const std::string& name) {
    const std::string folder = destination() + "/" + name;
    fs::create_directories(folder + "/sub");
    writeFile(folder + "/copy.png", std::string(1 << 16, 'c'));
    writeFile(folder + "/sub/more", "more");
  }

  // Names in the destination that are not batch folders.
  std::vector<std::string> othersIn() const {
    std::vector<std::string> others;
    for (const auto& name : testing::namesIn(destination())) {
      if (!name.starts_with("Quillmere-")) others.push_back(name);
    }
    return others;
  }

  testing::TempDir m_dir;
};

TEST_F(LeftoverStaging, TheNextBatchRemovesDeadStagingAndLeavesEverythingElse) {
  leaveStaging(kDead);
  leaveStaging(".quillmere-partial-second-dead-one");
  // A live batch's staging: its lock is held (here by the test, as a live batch holds it).
  leaveStaging(kLive);
  const UniqueFd liveLock(::open((destination() + "/" + kLive).c_str(), O_RDONLY | O_DIRECTORY));
  ASSERT_TRUE(liveLock);
  ASSERT_EQ(::flock(liveLock.get(), LOCK_EX | LOCK_NB), 0);
  // Named like staging, but a link to a folder elsewhere, and a plain file: neither is staging.
  writeFile(m_dir / "elsewhere/precious", "not ours");
  fs::create_directory_symlink(m_dir / "elsewhere", destination() + "/.quillmere-partial-link");
  writeFile(destination() + "/.quillmere-partial-file", "a file");
  writeFile(destination() + "/photo.jpg", "the user's");

  const BatchRequest request = testing::smallRequest(m_dir / "in", destination(), 2);
  const BatchResult result = createBatch(request, posixFileSystem());
  ASSERT_TRUE(result.directory);
  EXPECT_EQ(testing::incompleteBatchesIn(destination(), 2), "");

  EXPECT_EQ(othersIn(), (std::vector<std::string>{".quillmere-partial-0b6c3f4e-11fe-4000-8000-"
                                                  "000000000002",
                                                  ".quillmere-partial-file",
                                                  ".quillmere-partial-link", "photo.jpg"}));
  EXPECT_TRUE(fs::exists(destination() + "/" + kLive + "/sub/more")) << "a live batch's files";
  EXPECT_EQ(testing::readFile(m_dir / "elsewhere/precious"), "not ours");
  EXPECT_EQ(testing::readFile(destination() + "/.quillmere-partial-file"), "a file");
}

// Each call of the clearing made to fail in turn: the batch is saved all the same, the leftover
// stays (emptied, perhaps), and the next save clears it.
TEST_F(LeftoverStaging, AnyFailureWhileClearingLeavesTheBatchSaved) {
  const std::string dead = destination() + "/" + kDead;
  const struct {
    testing::FsOp op;
    std::string path;
  } cases[] = {
      {testing::FsOp::tryLock, destination()}, {testing::FsOp::listEntries, destination()},
      {testing::FsOp::openDirectoryAt, dead},  {testing::FsOp::tryLock, dead},
      {testing::FsOp::removeContents, dead},   {testing::FsOp::entryStatusAt, dead},
      {testing::FsOp::statusOfFile, dead},     {testing::FsOp::removeEmptyFolderAt, dead},
  };
  const BatchRequest request = testing::smallRequest(m_dir / "in", destination(), 1);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(testing::name(c.op)) + " on " + c.path);
    leaveStaging(kDead);
    testing::FaultyFileSystem faulty(c.op, 1, c.path);
    const BatchResult result = createBatch(request, faulty);
    EXPECT_TRUE(faulty.fired());
    ASSERT_TRUE(result.directory);
    EXPECT_EQ(testing::incompleteBatchesIn(destination(), 1), "");
    EXPECT_TRUE(fs::exists(dead));
    // The next batch, with nothing failing, clears it.
    createBatch(request, posixFileSystem());
    EXPECT_EQ(othersIn(), std::vector<std::string>{});
    for (const auto& name : testing::namesIn(destination()))
      fs::remove_all(destination() + "/" + name);
  }
}

// The staging folder of a batch still running in this process is locked from its creation on:
// another process's batch into the same folder, run to its end meanwhile, leaves it alone, and
// both batches are saved whole.
TEST_F(LeftoverStaging, TwoLiveBatchesNeverRemoveEachOthersStaging) {
  const BatchRequest first = testing::smallRequest(m_dir / "in", destination(), 3);
  fs::create_directory(m_dir / "in2");
  const BatchRequest second = testing::smallRequest(m_dir / "in2", destination(), 2);
  fs::create_directory(m_dir / "caller");
  writeFile(m_dir / "caller/request.json", toJson(second));

  testing::FaultyFileSystem hooked;
  bool ranSecond = false;
  std::string firstStaging;
  hooked.before = [&](testing::FsOp op, const std::string& path) {
    // Once the first batch has created a copy in its staging folder, the second runs whole.
    if (ranSecond || op != testing::FsOp::createExclusiveAt) return;
    ranSecond = true;
    firstStaging = fs::path(path).parent_path().string();
    const testing::Outcome other =
        testing::runBridge({"--request", "request.json", "result.json"}, m_dir / "caller");
    EXPECT_EQ(other.status, 0) << other.err;
    EXPECT_TRUE(fs::is_directory(firstStaging)) << "the second batch removed the first's staging";
  };
  const BatchResult result = createBatch(first, hooked);
  ASSERT_TRUE(ranSecond);
  ASSERT_TRUE(result.directory);

  EXPECT_EQ(othersIn(), std::vector<std::string>{});
  const auto batches = testing::namesIn(destination());
  ASSERT_EQ(batches.size(), 2u);
  const BatchResult secondResult =
      batchResultFromJson(testing::readFile(m_dir / "caller/result.json"));
  for (const auto& name : batches) {
    const std::size_t items = destination() + "/" + name == *result.directory ? 3 : 2;
    EXPECT_EQ(testing::incompleteBatch(destination() + "/" + name, items), "");
  }
  EXPECT_TRUE(secondResult.directory &&
              (*secondResult.directory == destination() + "/" + batches[0] ||
               *secondResult.directory == destination() + "/" + batches[1]));
}

// A dead batch's staging holding a folder its files cannot be removed from (a read-only folder,
// for a user whom permissions bind): that leftover stays as it is, the other is cleared, and the
// new batch is saved.
TEST_F(LeftoverStaging, AFolderTheUserCannotEmptyNeverFailsTheBatch) {
  leaveStaging(kDead);
  leaveStaging(".quillmere-partial-second-dead-one");
  const BatchRequest request = testing::smallRequest(m_dir / "in", destination(), 2);
  const std::string stuck = destination() + "/" + kDead + "/sub";
  testing::runAsOrdinaryUser(m_dir.path(), [&] {
    fs::permissions(stuck, fs::perms::owner_read | fs::perms::owner_exec);
    const BatchResult result = createBatch(request, posixFileSystem());
    EXPECT_TRUE(result.directory);
    EXPECT_EQ(testing::incompleteBatchesIn(destination(), 2), "");
    EXPECT_EQ(othersIn(), std::vector<std::string>{kDead});
    EXPECT_TRUE(fs::exists(stuck + "/more"));
    fs::permissions(stuck, fs::perms::owner_all);  // so the test's folder can be removed
  });
}

}  // namespace
}  // namespace quillmere
