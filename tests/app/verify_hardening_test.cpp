// --verify as the real executable answers a batch whose manifest was edited, a batch at the size
// limit, a result path below the batch, names made to fool a terminal, a process short of memory
// or descriptors, and a stop while its answer waits on a pipe nobody reads.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/bridge_process.h"
#include "app/request_mode.h"
#include "app/verify_mode.h"
#include "platform/unique_fd.h"
#include "support/images.h"
#include "support/page_cache.h"
#include "support/temp_dir.h"
#include "transfer/create_batch.h"
#include "transfer/manifest.h"
#include "verify/batch_manifest.h"
#include "verify/verify_batch.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using testing::BridgeOptions;
using testing::Outcome;
using testing::readFile;
using testing::runBridge;
using testing::TempDir;
using testing::writeFile;

// The value in `manifest` after the first `"key" : "`, with its first character changed into
// another of its kind (a hex digit into another, a letter into another), as a worn card or a
// hand edit would: the manifest keeps the form this program writes.
std::string flippedAfter(std::string manifest, const std::string& key) {
  const std::string start = "\"" + key + "\" : \"";
  const auto at = manifest.find(start);
  EXPECT_NE(at, std::string::npos) << key;
  if (at == std::string::npos) return manifest;
  // A hex digit becomes its neighbour ('0' and '1', 'e' and 'f'), a letter another.
  constexpr std::string_view kHex = "0123456789abcdef";
  char& c = manifest[at + start.size()];
  const auto digit = kHex.find(c);
  c = digit != std::string_view::npos ? kHex[digit ^ 1] : static_cast<char>(c ^ 1);
  return manifest;
}

// The first value of `key` in the manifest's bytes.
std::string valueOf(const std::string& manifest, const std::string& key) {
  const std::string start = "\"" + key + "\" : \"";
  const auto at = manifest.find(start) + start.size();
  return manifest.substr(at, manifest.find('"', at) - at);
}

// A batch of two renders saved into m_dir/out.
class VerifyHardening : public ::testing::Test {
 protected:
  void SetUp() override { save(); }

  void save() {
    fs::remove_all(m_dir / "out");
    fs::create_directory(m_dir / "out");
    m_batch = testing::saveTwoRenderBatch(m_dir.path());
    ASSERT_FALSE(m_batch.empty());
    m_manifest = readFile(m_batch + "/" + kManifestFileName);
    m_first = valueOf(m_manifest, "renderFilename");
    m_second = valueOf(m_manifest.substr(m_manifest.find(m_first) + 1), "renderFilename");
  }

  Outcome verify(const std::vector<std::string>& extra = {}, const BridgeOptions& options = {}) {
    std::vector<std::string> args = {"--verify", m_batch};
    args.insert(args.end(), extra.begin(), extra.end());
    return runBridge(args, m_dir.path(), options);
  }

  // Saves, with the real executable, a request of 500 items whose identifiers are all "/", just
  // under the request limit, and answers the batch folder and the request's size.
  std::pair<std::string, std::size_t> saveLargestBatch() {
    writeFile(m_dir / "render.png", testing::pngImage(4, 3));
    writeFile(m_dir / "original.raw", "original");
    const std::string request = testing::largestRequest("original.raw", "render.png");
    writeFile(m_dir / "req.json", request);

    const Outcome saved = runBridge({"--request", "req.json", "res.json"}, m_dir.path());
    EXPECT_EQ(saved.status, 0) << readFile(m_dir / "res.json");
    std::string folder;
    for (const auto& entry : fs::directory_iterator(m_dir / "out")) {
      if (entry.path().string() != m_batch) folder = entry.path();
    }
    return {folder, request.size()};
  }

  TempDir m_dir;
  std::string m_batch;
  std::string m_manifest;
  std::string m_first;   // the first item's render
  std::string m_second;  // the second item's
};

// One flipped character in any value the manifest binds to another (or to the folder's name) is
// a problem of its own, naming the render and the value. "variantId" is derived from four values;
// it cannot tell which of them changed, and its line names them all.
TEST_F(VerifyHardening, EveryBindingOfTheManifestIsChecked) {
  const std::string manifestName = kManifestFileName;
  const struct {
    const char* name;
    std::function<void()> damage;
    std::function<std::vector<std::string>()> lines;  // the problem lines, before the summary
  } cases[] = {
      {"sourceSha256",
       [&] { writeFile(m_batch + "/" + manifestName, flippedAfter(m_manifest, "sourceSha256")); },
       [&] { return std::vector<std::string>{m_first + "：" + kVariantIdAlteredProblem}; }},
      {"variantId",
       [&] { writeFile(m_batch + "/" + manifestName, flippedAfter(m_manifest, "variantId")); },
       [&] { return std::vector<std::string>{m_first + "：" + kVariantIdAlteredProblem}; }},
      {"externalVariantId",
       [&] {
         writeFile(m_batch + "/" + manifestName, flippedAfter(m_manifest, "externalVariantId"));
       },
       [&] { return std::vector<std::string>{m_first + "：" + kVariantIdAlteredProblem}; }},
      {"catalogFingerprint",
       [&] {
         writeFile(m_batch + "/" + manifestName, flippedAfter(m_manifest, "catalogFingerprint"));
       },
       [&] {
         return std::vector<std::string>{m_first + "：" + kVariantIdAlteredProblem,
                                         m_second + "：" + kVariantIdAlteredProblem};
       }},
      {"transferBatchId",
       [&] {
         writeFile(m_batch + "/" + manifestName, flippedAfter(m_manifest, "transferBatchId"));
       },
       [&] { return std::vector<std::string>{manifestName + "：" + kBatchIdAlteredProblem}; }},
      {"the folder renamed",
       [&] {
         const std::string renamed = m_dir / "out/Quillmere-copy";
         fs::rename(m_batch, renamed);
         m_batch = renamed;
       },
       [&] { return std::vector<std::string>{manifestName + "：" + kBatchIdAlteredProblem}; }},
      {"renderId",
       [&] { writeFile(m_batch + "/" + manifestName, flippedAfter(m_manifest, "renderId")); },
       [&] { return std::vector<std::string>{m_first + "：" + kRenderIdAlteredProblem}; }},
      {"renderSha256",
       [&] { writeFile(m_batch + "/" + manifestName, flippedAfter(m_manifest, "renderSha256")); },
       [&] { return std::vector<std::string>{m_first + "：" + kRenderSha256AlteredProblem}; }},
      {"renderSha256 and renderId",
       [&] {
         writeFile(m_batch + "/" + manifestName,
                   flippedAfter(flippedAfter(m_manifest, "renderSha256"), "renderId"));
       },
       [&] { return std::vector<std::string>{m_first + "：" + kRecordAlteredProblem}; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    save();
    c.damage();
    const Outcome outcome = verify();
    EXPECT_EQ(outcome.status, 1);
    std::string expected;
    const std::vector<std::string> lines = c.lines();
    for (const auto& line : lines) expected += line + "\n";
    expected += "核对完毕：批次共 2 张照片，发现 " + std::to_string(lines.size()) + " 个问题。\n";
    EXPECT_EQ(outcome.out, expected);
    EXPECT_EQ(outcome.err, "");
  }
  // The batch as saved, for contrast: every binding holds.
  save();
  EXPECT_EQ(verify().status, 0);
}

// A request of 500 items whose identifiers are all "/", just under the request limit: the saved
// manifest writes each "/" as "\/", and --verify still takes it as the batch it is.
TEST_F(VerifyHardening, TheLargestManifestALegalRequestMakesIsABatch) {
  const auto [folder, requestSize] = saveLargestBatch();
  ASSERT_FALSE(folder.empty());
  const auto manifestSize = fs::file_size(folder + "/" + kManifestFileName);
  EXPECT_GT(manifestSize, std::uintmax_t{8} << 20);  // over the limit --verify had before
  EXPECT_LE(manifestSize, largestManifestOf(requestSize));
  EXPECT_LE(manifestSize, kLargestBatchManifest);

  const Outcome verified = runBridge({"--verify", folder}, m_dir.path());
  EXPECT_EQ(verified.status, 0) << verified.out;
  EXPECT_EQ(verified.out, "核对完毕：500 张照片都与传输清单一致。\n");
}

// The result is never saved in the batch folder or anywhere below it, however the path is
// spelled or linked; beside the folder it is.
TEST_F(VerifyHardening, AResultBelowTheBatchFolderIsRefused) {
  fs::create_directories(m_batch + "/sub/deeper");
  fs::create_symlink(m_batch + "/sub/deeper", m_dir / "link-below");
  const auto before = testing::snapshot(m_batch);
  const struct {
    const char* name;
    std::string result;
    bool refused;
  } cases[] = {
      {"a folder in the batch", m_batch + "/sub/check.json", true},
      {"two folders down", m_batch + "/sub/deeper/check.json", true},
      {"through a link to a folder below", m_dir / "link-below/check.json", true},
      {"up and down again", m_batch + "/sub/../sub/deeper/../check.json", true},
      {"beside the batch", m_dir / "out/check.json", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(resultLandsBelowFolder(m_batch, c.result), c.refused);
    const Outcome outcome = verify({c.result});
    if (c.refused) {
      EXPECT_EQ(outcome.status, 2);
      EXPECT_EQ(outcome.out, "");
      EXPECT_EQ(outcome.err, kResultInsideFolderLine);
      EXPECT_EQ(testing::snapshot(m_batch), before);
    } else {
      // The stray folder is a problem of the batch, but the answer is saved.
      EXPECT_EQ(outcome.status, 1);
      EXPECT_EQ(outcome.err, "");
      EXPECT_TRUE(fs::exists(c.result));
    }
  }
}

// Names in the folder that would make a terminal break a line, start an escape sequence or show
// what follows reversed are printed with every byte of such a character as \xNN.
TEST_F(VerifyHardening, PrintedNamesEscapeEveryControlAndBidiCharacter) {
  const struct {
    const char* name;
    std::string file;
    std::string shown;
  } cases[] = {
      {"escape (C0)", "a\x1b[31mb", "a\\x1B[31mb"},
      {"DEL",
       "a\x7f"
       "b",
       "a\\x7Fb"},
      {"NEL (U+0085)",
       "a\xc2\x85"
       "b",
       "a\\xC2\\x85b"},
      {"CSI (U+009B)",
       "a\xc2\x9b"
       "31mb",
       "a\\xC2\\x9B31mb"},
      {"right-to-left override (U+202E)",
       "a\xe2\x80\xae"
       "gpj.exe",
       "a\\xE2\\x80\\xAEgpj.exe"},
      {"left-to-right embedding (U+202A)",
       "a\xe2\x80\xaa"
       "b",
       "a\\xE2\\x80\\xAAb"},
      {"first strong isolate (U+2068)",
       "a\xe2\x81\xa8"
       "b",
       "a\\xE2\\x81\\xA8b"},
      {"pop directional isolate (U+2069)",
       "a\xe2\x81\xa9"
       "b",
       "a\\xE2\\x81\\xA9b"},
      {"left-to-right mark (U+200E)",
       "a\xe2\x80\x8e"
       "b",
       "a\\xE2\\x80\\x8Eb"},
      {"right-to-left mark (U+200F)",
       "a\xe2\x80\x8f"
       "b",
       "a\\xE2\\x80\\x8Fb"},
      {"Arabic letter mark (U+061C)",
       "a\xd8\x9c"
       "b",
       "a\\xD8\\x9Cb"},
      {"line separator (U+2028)",
       "a\xe2\x80\xa8"
       "b",
       "a\\xE2\\x80\\xA8b"},
      {"what is shown as it is", "照片 ✓ é", "照片 ✓ é"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    save();
    writeFile(m_batch + "/" + c.file, "");
    const Outcome outcome = verify();
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, c.shown + "：" + kExtraEntryProblem +
                               "\n核对完毕：批次共 2 张照片，发现 1 个问题。\n");
  }
}

// An empty path is no folder: the refusal shows it as "", never as a line starting with "：".
TEST(VerifyEmptyPath, IsRefusedNamingTheEmptyPath) {
  TempDir dir;
  const Outcome outcome = runBridge({"--verify", ""}, dir.path());
  EXPECT_EQ(outcome.status, 2);
  EXPECT_TRUE(outcome.out.starts_with("\"\"：" + std::string(kFolderUnreadableStart)))
      << outcome.out;
  EXPECT_EQ(outcome.out.find("\n："), std::string::npos) << outcome.out;
  // The same refusal as for any folder that is not there.
  const Outcome missing = runBridge({"--verify", "missing"}, dir.path());
  EXPECT_EQ(outcome.out.substr(2), missing.out.substr(7));
}

#ifndef QUILLMERE_SANITIZED
// What a run under a limit answered: the batch as it is, or one line saying the process itself
// ran short (status 2): never a damaged render, never a signal, never a half answer.
struct LimitedRuns {
  int answered = 0;
  int shortOf = 0;

  // Answers true, for the sweep to go on.
  bool add(const Outcome& r, const std::string& intact) {
    if (r.status == 0) {
      ++answered;
      EXPECT_EQ(r.out, intact);
      return true;
    }
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_EQ(r.out, "");
    const bool oneLine = r.err == kVerifyOutOfMemoryLine ||
                         (r.err.starts_with(kVerifyCannotRunStart) && r.err.ends_with("。\n") &&
                          r.err.find('\n') == r.err.size() - 1);
    EXPECT_TRUE(oneLine) << r.err;
    ++shortOf;
    return true;
  }
};

TEST_F(VerifyHardening, TooFewDescriptorsIsStatusTwoWithOneLine) {
  LimitedRuns runs;
  testing::underEachLimit(
      RLIMIT_NOFILE, 3, 12, 1, [&](const BridgeOptions& options) { return verify({}, options); },
      [&](const Outcome& r) { return runs.add(r, "核对完毕：2 张照片都与传输清单一致。\n"); });
  EXPECT_GT(runs.answered, 0);
  EXPECT_GT(runs.shortOf, 0);  // the sweep reaches limits where descriptors run out
}

// The largest manifest there can be, under address-space limits from where the program can
// barely start to where the check succeeds: memory runs out while reading, decoding, on either
// thread and while answering.
TEST_F(VerifyHardening, TooLittleMemoryIsStatusTwoWithOneLineNeverAnAbort) {
  const auto [folder, requestSize] = saveLargestBatch();
  ASSERT_FALSE(folder.empty());
  LimitedRuns runs;
  testing::underEachLimit(
      RLIMIT_AS, rlim_t{24} << 20, rlim_t{160} << 20, rlim_t{8} << 20,
      [&](const BridgeOptions& options) {
        return runBridge({"--verify", folder}, m_dir.path(), options);
      },
      [&](const Outcome& r) { return runs.add(r, "核对完毕：500 张照片都与传输清单一致。\n"); });
  EXPECT_GT(runs.answered, 0);
  EXPECT_GT(runs.shortOf, 0);  // the sweep reaches limits where memory runs out
}
#endif

// A stop ends --verify even while its answer is blocked on a pipe nobody reads: the answer of
// 3,000 stray files is larger than the pipe holds. Blocked after writing part of it, or before
// writing anything (the pipe full from the start). The stop message no longer fits either, so
// the answer is status 2 with the one line.
TEST_F(VerifyHardening, AStopEndsAnAnswerBlockedOnAPipeNobodyReads) {
  for (int i = 0; i < 3000; ++i) writeFile(m_batch + "/stray-" + std::to_string(i), "");
  for (const bool fullFromTheStart : {false, true}) {
    SCOPED_TRACE(fullFromTheStart ? "the pipe full from the start" : "the answer fills the pipe");
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    const UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    const int capacity = fcntl(readEnd.get(), F_GETPIPE_SZ);
    ASSERT_GT(capacity, 0);
    if (fullFromTheStart) {
      ASSERT_EQ(fcntl(writeEnd.get(), F_SETFL, O_NONBLOCK), 0);
      const std::string filler(4096, 'x');
      while (write(writeEnd.get(), filler.data(), filler.size()) > 0) {
      }
      ASSERT_EQ(fcntl(writeEnd.get(), F_SETFL, 0), 0);
    }
    BridgeOptions toPipe;
    toPipe.standardOutput = writeEnd.get();
    testing::BridgeProcess bridge({"--verify", m_batch}, m_dir.path(), toPipe);
    writeEnd.reset();
    // The pipe full, and the program waiting for a reader: in a write to its standard output, or
    // in a wait for room there.
    const std::string inWrite = std::to_string(SYS_write) + " 0x1 ";
    const std::string inWait = std::to_string(SYS_ppoll) + " ";
    EXPECT_TRUE(testing::eventually([&] {
      int queued = 0;
      if (ioctl(readEnd.get(), FIONREAD, &queued) != 0 || queued < capacity) return false;
      const std::string call = readFile("/proc/" + std::to_string(bridge.pid()) + "/syscall");
      return call.starts_with(inWrite) || call.starts_with(inWait);
    }));
    ASSERT_EQ(kill(bridge.pid(), SIGTERM), 0);
    const Outcome outcome = bridge.finish();
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.err, kCannotPrintVerifyReportLine);
  }
}

}  // namespace
}  // namespace quillmere
