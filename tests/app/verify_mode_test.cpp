#include "app/verify_mode.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "app/bridge_process.h"
#include "inspect/digest.h"
#include "inspect/image_info.h"
#include "platform/unique_fd.h"
#include "support/images.h"
#include "support/page_cache.h"
#include "support/temp_dir.h"
#include "transfer/create_batch.h"
#include "transfer/manifest.h"
#include "verify/verify_batch.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using testing::BridgeOptions;
using testing::Outcome;
using testing::readFile;
using testing::runBridge;
using testing::snapshot;
using testing::TempDir;
using testing::writeFile;

// A batch of two renders saved into m_dir/out, as the command finds it later.
class VerifyMode : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(m_dir / "out");
    m_batch = testing::saveTwoRenderBatch(m_dir.path());
    m_name = fs::path(m_batch).filename().string();
    for (const auto& entry : fs::directory_iterator(m_batch)) {
      if (entry.path().extension() == ".png") m_png = entry.path().filename().string();
    }
  }

  Outcome verify(const std::vector<std::string>& extra = {}, const BridgeOptions& options = {}) {
    std::vector<std::string> args = {"--verify", "out/" + m_name};
    args.insert(args.end(), extra.begin(), extra.end());
    return runBridge(args, m_dir.path(), options);
  }

  TempDir m_dir;
  std::string m_batch;
  std::string m_name;
  std::string m_png;
};

TEST_F(VerifyMode, AnswersWithLinesOrAJsonResultAndItsStatusChangingNothing) {
  // The members are those of the batch SetUp saved last, fresh for each case.
  const struct {
    const char* name;
    std::function<void()> damage;
    int status;
    std::function<std::string()> lines;
    std::function<nlohmann::json()> result;
  } cases[] = {
      {"everything matches", [] {}, 0,
       [] { return std::string("核对完毕：2 张照片都与传输清单一致。\n"); },
       [] {
         return nlohmann::json{{"count", 2}, {"problems", nlohmann::json::array()}};
       }},
      {"a render damaged and a file added",
       [&] {
         testing::appendFile(m_batch + "/" + m_png, "x");
         writeFile(m_batch + "/.DS_Store", "");
       },
       1,
       [&] {
         // The renders in manifest order, then what does not belong.
         return m_png + "：" + kRenderDiffersProblem + "\n.DS_Store：" + kExtraEntryProblem +
                "\n核对完毕：批次共 2 张照片，发现 2 个问题。\n";
       },
       [&] {
         return nlohmann::json{{"count", 2},
                               {"problems",
                                {{{"file", m_png}, {"problem", kRenderDiffersProblem}},
                                 {{"file", ".DS_Store"}, {"problem", kExtraEntryProblem}}}}};
       }},
      {"not a batch", [&] { fs::remove(m_batch + "/.quillmere-manifest.json"); }, 2,
       [] {
         return std::string(".quillmere-manifest.json：") + kNoManifestProblem +
                "\n无法核对：这个文件夹不能作为 Quillmere 批次读取。\n";
       },
       [] {
         return nlohmann::json{
             {"count", 0},
             {"problems",
              {{{"file", ".quillmere-manifest.json"}, {"problem", kNoManifestProblem}}}}};
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    c.damage();
    const auto before = snapshot(m_batch);

    const Outcome printed = verify();
    EXPECT_EQ(printed.status, c.status);
    EXPECT_EQ(printed.out, c.lines());
    EXPECT_EQ(printed.err, "");  // not a terminal: no progress

    const Outcome saved = verify({"result.json"});
    EXPECT_EQ(saved.status, c.status);
    EXPECT_EQ(saved.out, "");
    EXPECT_EQ(saved.err, "");
    EXPECT_EQ(nlohmann::json::parse(readFile(m_dir / "result.json")), c.result());
    EXPECT_EQ(snapshot(m_batch), before);
  }
}

TEST_F(VerifyMode, AResultThatWouldLandInTheFolderIsRefusedBeforeAnythingIsRead) {
  fs::create_symlink(m_batch + "/.quillmere-manifest.json", m_dir / "link-into-batch.json");
  const auto before = snapshot(m_batch);
  for (const std::string& result :
       {"out/" + m_name + "/result.json", "out/" + m_name + "/.quillmere-manifest.json",
        m_batch + "/../" + m_name + "/x.json", std::string("link-into-batch.json")}) {
    SCOPED_TRACE(result);
    const Outcome outcome = verify({result});
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, kResultInsideFolderLine);
    EXPECT_EQ(snapshot(m_batch), before);
  }
}

TEST_F(VerifyMode, AnAnswerThatCannotBeDeliveredIsStatusTwoWithOneLine) {
  const UniqueFd full(open("/dev/full", O_WRONLY | O_CLOEXEC));
  ASSERT_TRUE(full);
  BridgeOptions toFull;
  toFull.standardOutput = full.get();
  const Outcome printed = verify({}, toFull);
  EXPECT_EQ(printed.status, 2);
  EXPECT_EQ(printed.err, kCannotPrintVerifyReportLine);

  fs::create_directory(m_dir / "folder");
  const Outcome saved = verify({"folder"});
  EXPECT_EQ(saved.status, 2);
  EXPECT_EQ(saved.err, kCannotSaveVerifyResultLine);
}

TEST_F(VerifyMode, ProgressIsALineOnATerminalRewrittenInPlaceAndErasedAtTheEnd) {
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  const UniqueFd masterEnd(master);
  UniqueFd slaveEnd(slave);
  BridgeOptions onTerminal;
  onTerminal.standardError = slaveEnd.get();
  testing::BridgeProcess bridge({"--verify", "out/" + m_name}, m_dir.path(), onTerminal);
  slaveEnd.reset();  // the child's copy is the only one left, so the end of its output shows
  std::string shown;
  char buffer[4096];
  for (;;) {
    pollfd ready{master, POLLIN, 0};
    // A bound, not a measure of speed: a check that hangs fails here instead of blocking forever.
    if (poll(&ready, 1, 10'000) <= 0) {
      ADD_FAILURE() << "nothing more on the terminal for ten seconds";
      break;
    }
    const ssize_t got = read(master, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // EIO once the child has closed the terminal
    shown.append(buffer, static_cast<std::size_t>(got));
  }
  const Outcome outcome = bridge.finish();
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "核对完毕：2 张照片都与传输清单一致。\n");
  EXPECT_TRUE(shown.starts_with("\r正在核对：")) << shown;
  EXPECT_TRUE(shown.ends_with("\r\033[K")) << shown;
  EXPECT_EQ(shown.find('\n'), std::string::npos) << shown;
}

// A batch folder holding one render of 512 MiB, mostly a hole, so that verifying it takes long
// enough to be stopped midway at no cost in disk space.
TEST(VerifyModeStops, EachStopSignalEndsTheCheckWithinTheFileWithStatusOne) {
  TempDir dir;
  const std::string folder = dir / "Quillmere-batch";
  fs::create_directory(folder);
  const std::string name = "0f6a2c1e-3b4d-4e5f-8a9b-0c1d2e3f4a5b.png";
  const std::string render = folder + "/" + name;
  writeFile(render, testing::pngImage(4, 3));
  fs::resize_file(render, std::uint64_t{1} << 29);  // the largest a render can be
  ManifestItem item;
  item.image = imageInfo(render);
  item.externalPhotoId = "p";
  item.externalVariantId = "v";
  item.renderFilename = name;
  item.renderSha256 = sha256(render);
  item.renderId = stableUUID(item.renderSha256);
  item.sourceSha256 = digest("original");
  item.variantId = stableUUID("variant");
  writeFile(folder + "/.quillmere-manifest.json",
            encodeManifest({digest("catalog"),
                            "2026-12-10T12:00:00Z",
                            {item},
                            "CAPTURE_ONE",
                            "5d0c2b7e-8f3a-4c1e-9b6d-2a7f4e8c1d05"}));

  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal));
    const bool withResult = signal == SIGHUP;
    std::vector<std::string> args = {"--verify", folder};
    if (withResult) args.push_back(dir / "result.json");
    const Outcome outcome = testing::signalledWhileReading(args, dir.path(), render, signal);
    // The stop message is only ever the answer when a chunk heard the stop: here, inside the one
    // render, after 64 MiB of it were read.
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "");
    if (withResult) {
      EXPECT_EQ(outcome.out, "");
      EXPECT_EQ(
          nlohmann::json::parse(readFile(dir / "result.json")),
          (nlohmann::json{{"count", 0},
                          {"problems", {{{"file", folder}, {"problem", kVerifyStoppedMessage}}}}}));
    } else {
      EXPECT_EQ(outcome.out, std::string(kVerifyStoppedMessage) + "\n");
    }
  }
}

}  // namespace
}  // namespace quillmere
