// The temporary files that writers of a result left when they died (".result.json.tmp-<UUID>")
// are removed by the next writer of the same result, and nothing else is: a live writer's file,
// another result's, a link or a folder named like one, all stay.
#include "app/leftover_results.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "app/result_file.h"
#include "platform/unique_fd.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::writeFile;

constexpr const char* kUuid = "0b6c3f4e-9a1d-4c2e-8f00-0123456789ab";

TEST(LeftoverResults, TemporaryNamesAreRecognisedOnlyForTheirOwnResult) {
  const std::string longName(40, 'n');
  const struct {
    const char* entry;
    std::string name;
    bool match;
  } cases[] = {
      {".result.json.tmp-0b6c3f4e-9a1d-4c2e-8f00-0123456789ab", "result.json", true},
      {".result.json.tmp-0B6C3F4E-9A1D-4C2E-8F00-0123456789AB", "result.json", true},
      {".result.json.tmp-0b6c3f4e-9a1d-4c2e-8f00-0123456789a", "result.json", false},
      {".result.json.tmp-0b6c3f4e-9a1d-4c2e-8f00-0123456789abc", "result.json", false},
      {".result.json.tmp-0b6c3f4e_9a1d-4c2e-8f00-0123456789ab", "result.json", false},
      {".result.json.tmp-0b6c3f4e-9a1d-4c2e-8f00-0123456789ag", "result.json", false},
      {".other.json.tmp-0b6c3f4e-9a1d-4c2e-8f00-0123456789ab", "result.json", false},
      {"result.json.tmp-0b6c3f4e-9a1d-4c2e-8f00-0123456789ab", "result.json", false},
      {"result.json", "result.json", false},
      // A long name keeps its first 32 bytes in its temporary name.
      {".nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn.tmp-0b6c3f4e-9a1d-4c2e-8f00-0123456789ab", longName,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry);
    EXPECT_EQ(isTemporaryFileOf(c.entry, c.name), c.match);
  }
}

TEST(LeftoverResults, TheNextResultRemovesDeadWritersFilesAndLeavesEverythingElse) {
  testing::TempDir dir;
  fs::create_directories(dir / "caller");
  fs::create_directories(dir / "elsewhere");
  const std::string caller = dir / "caller";
  const auto temporary = [&](const std::string& uuid) {
    return caller + "/.result.json.tmp-" + uuid;
  };
  writeFile(temporary(kUuid), "{\"count\":");  // a dead writer's, cut short
  writeFile(temporary("11111111-2222-4333-8444-555555555555"), "another dead one");
  // A live writer's: its lock is held (here by the test).
  writeFile(temporary("22222222-2222-4333-8444-555555555555"), "being written");
  const UniqueFd live(::open(temporary("22222222-2222-4333-8444-555555555555").c_str(), O_RDONLY));
  ASSERT_TRUE(live);
  ASSERT_EQ(::flock(live.get(), LOCK_EX | LOCK_NB), 0);
  // Named like one, but a link to someone's file, and a folder; and another result's file.
  writeFile(dir / "elsewhere/precious", "not ours");
  fs::create_symlink(dir / "elsewhere/precious", temporary("33333333-2222-4333-8444-555555555555"));
  fs::create_directory(temporary("44444444-2222-4333-8444-555555555555"));
  writeFile(caller + "/.other.json.tmp-" + kUuid, "another result's");

  ResultFile(caller + "/result.json", posixFileSystem()).save(R"({"count":1})", {});

  EXPECT_EQ(readFile(caller + "/result.json"), R"({"count":1})");
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(caller)) left.push_back(entry.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{".other.json.tmp-0b6c3f4e-9a1d-4c2e-8f00-0123456789ab",
                                            ".result.json.tmp-22222222-2222-4333-8444-555555555555",
                                            ".result.json.tmp-33333333-2222-4333-8444-555555555555",
                                            ".result.json.tmp-44444444-2222-4333-8444-555555555555",
                                            "result.json"}));
  EXPECT_EQ(readFile(temporary("22222222-2222-4333-8444-555555555555")), "being written");
  EXPECT_EQ(readFile(dir / "elsewhere/precious"), "not ours");
}

// A folder the caller may write into but not list: nothing can be cleared there, and the result
// is saved all the same.
TEST(LeftoverResults, AResultFolderThatCannotBeListedStillGetsTheResult) {
  testing::TempDir dir;
  fs::create_directories(dir / "caller");
  const std::string caller = dir / "caller";
  writeFile(caller + "/.result.json.tmp-" + kUuid, "dead");
  testing::runAsOrdinaryUser(dir.path(), [&] {
    fs::permissions(caller, fs::perms::owner_write | fs::perms::owner_exec);
    ResultFile(caller + "/result.json", posixFileSystem()).save(R"({"count":2})", {});
    fs::permissions(caller, fs::perms::owner_all);
    EXPECT_EQ(readFile(caller + "/result.json"), R"({"count":2})");
    EXPECT_TRUE(fs::exists(caller + "/.result.json.tmp-" + kUuid));
  });
}

}  // namespace
}  // namespace quillmere
