// The result file's place is settled before the command runs and held to the end: a name that is
// made a link, a hard link or an input's own entry while a batch or a verify runs never carries
// the answer onto a photo.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "app/request_mode.h"
#include "app/verify_mode.h"
#include "records/json.h"
#include "support/faulty_file_system.h"
#include "support/images.h"
#include "support/temp_dir.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using testing::FaultyFileSystem;
using testing::FsOp;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

// What happens to the result's name once the batch has started reading.
struct Swap {
  const char* name;
  std::function<void(const std::string& result, const std::string& photo)> apply;
  int status;  // 0: the answer replaced the name alone; 2: refused, nothing written
};

const Swap kSwaps[] = {
    {"made a link to the photo",
     [](const std::string& result, const std::string& photo) {
       fs::remove(result);
       fs::create_symlink(photo, result);
     },
     0},
    {"made a hard link of the photo",
     [](const std::string& result, const std::string& photo) {
       fs::remove(result);
       fs::create_hard_link(photo, result);
     },
     2},
    {"the photo itself renamed onto it",
     [](const std::string& result, const std::string& photo) {
       fs::rename(photo, result);
     },
     2},
};

class ResultRace : public ::testing::Test {
 protected:
  std::string path(const std::string& name) { return m_dir / name; }
  TempDir m_dir;
};

TEST_F(ResultRace, AResultNameChangedDuringTheBatchNeverLandsOnAnOriginal) {
  const std::string original = "original bytes that must survive";
  for (const Swap& swap : kSwaps) {
    SCOPED_TRACE(swap.name);
    fs::remove_all(m_dir / "out");
    fs::create_directory(m_dir / "out");
    fs::remove(path("res.json"));  // the last case may have left a link of the original there
    writeFile(path("original.raw"), original);
    writeFile(path("render.png"), testing::pngImage(4, 3));
    writeFile(path("res.json"), "{\"earlier\":true}");
    const BatchRequest request{"CAPTURE_ONE", "c", path("out"),
                               {{path("original.raw"), path("render.png"), "p", "v"}}};
    writeFile(path("req.json"), toJson(request));
    FaultyFileSystem racing;
    bool swapped = false;
    racing.before = [&](FsOp op, const std::string&) {
      if (op == FsOp::copyChunk && !swapped) {
        swapped = true;
        swap.apply(path("res.json"), path("original.raw"));
      }
    };
    const int status = runRequestMode(path("req.json"), path("res.json"), racing);
    ASSERT_TRUE(swapped);
    EXPECT_EQ(status, swap.status);
    // Wherever the original's bytes are now, they are the original's.
    const std::string survivor =
        fs::exists(path("original.raw")) ? path("original.raw") : path("res.json");
    if (swap.status == 0) {
      EXPECT_EQ(readFile(path("original.raw")), original);
      EXPECT_FALSE(fs::is_symlink(path("res.json")));
      EXPECT_TRUE(nlohmann::json::parse(readFile(path("res.json"))).contains("directory"));
    } else {
      EXPECT_EQ(readFile(survivor), original);
    }
  }
}

TEST_F(ResultRace, AVerifyAnswerNameChangedDuringTheCheckNeverLandsInTheBatch) {
  fs::create_directory(m_dir / "out");
  writeFile(path("original.raw"), "original");
  writeFile(path("render.png"), testing::pngImage(4, 3));
  const BatchRequest request{"CAPTURE_ONE", "c", path("out"),
                             {{path("original.raw"), path("render.png"), "p", "v"}}};
  writeFile(path("req.json"), toJson(request));
  ASSERT_EQ(runRequestMode(path("req.json"), path("saved.json"), posixFileSystem()), 0);
  const std::string batch = nlohmann::json::parse(readFile(path("saved.json")))["directory"];
  std::string render;
  for (const auto& entry : fs::directory_iterator(batch)) {
    if (entry.path().extension() == ".png") render = entry.path();
  }
  ASSERT_FALSE(render.empty());
  const std::string stored = readFile(render);

  for (const Swap& swap : kSwaps) {
    SCOPED_TRACE(swap.name);
    if (swap.status == 2 && std::string(swap.name).find("renamed") != std::string::npos) continue;
    fs::remove(path("check.json"));
    writeFile(path("check.json"), "{}");
    FaultyFileSystem racing;
    bool swapped = false;
    racing.before = [&](FsOp op, const std::string&) {
      if (op == FsOp::openForReadingAt && !swapped) {
        swapped = true;
        swap.apply(path("check.json"), render);
      }
    };
    runVerifyMode(batch, path("check.json"), racing);
    ASSERT_TRUE(swapped);
    EXPECT_EQ(readFile(render), stored);
    EXPECT_FALSE(fs::is_symlink(path("check.json")));
  }
}

}  // namespace
}  // namespace quillmere
