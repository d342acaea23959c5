// Request mode at the edges: a result path that leads to one of the request's own photos, and a
// process short of descriptors or memory. Each ends with an answer (status 1 or 2), never with a
// signal, a damaged input or hidden staging left behind.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <optional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/bridge_process.h"
#include "app/request_mode.h"
#include "records/records.h"
#include "support/images.h"
#include "support/temp_dir.h"
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

// A request of `count` pairs of one small render and original, whose photo identifiers are
// padded to make the request `padding` bytes larger.
std::string requestOf(int count, std::size_t padding = 0) {
  const std::string photoId(count > 0 ? padding / static_cast<std::size_t>(count) : 0, 'p');
  std::string items;
  for (int i = 0; i < count; ++i) {
    if (i > 0) items += ',';
    items += R"({"sourcePath":"original.raw","renderPath":"render.png","externalPhotoId":"p)" +
             photoId + R"(","externalVariantId":"v)" + std::to_string(i) + R"("})";
  }
  return R"({"provider":"CAPTURE_ONE","catalogId":"c","destination":"out","items":[)" + items +
         "]}";
}

class RequestLimits : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(m_dir / "out");
    writeFile(m_dir / "render.png", testing::pngImage(4, 3));
    writeFile(m_dir / "original.raw", "original");
  }

  // What the destination holds: batch folders only, never hidden staging.
  void expectNoStaging() {
    for (const auto& entry : fs::directory_iterator(m_dir / "out")) {
      EXPECT_TRUE(entry.path().filename().string().starts_with("Quillmere-")) << entry.path();
    }
  }

  // Every batch folder in the destination holds its whole batch of `items`, as the medium has it.
  void expectWholeBatches(std::size_t items) {
    for (const auto& entry : fs::directory_iterator(m_dir / "out")) {
      const VerifyReport report = verifyBatch(entry.path());
      EXPECT_TRUE(report.isBatch && report.problems.empty() && report.count == items)
          << entry.path() << (report.problems.empty() ? "" : ": " + report.problems[0].problem);
    }
  }

  void emptyDestination() {
    for (const auto& entry : fs::directory_iterator(m_dir / "out")) fs::remove_all(entry.path());
  }

  TempDir m_dir;
};

// The result is written where its path leads; when that is one of the request's originals or
// renders, however links lead there, the whole request is refused before anything is written:
// the photo is never replaced by the result that describes it.
TEST_F(RequestLimits, AResultPathLeadingToAnInputIsRefusedBeforeAnythingIsWritten) {
  writeFile(m_dir / "req.json", requestOf(1));
  const std::string original = readFile(m_dir / "original.raw");
  const std::string render = readFile(m_dir / "render.png");
  const struct {
    const char* name;
    const char* resultPath;
    std::function<void()> arrange;
    bool refused;
  } cases[] = {
      {"a link to the original", "res.json",
       [&] { fs::create_symlink("original.raw", m_dir / "res.json"); }, true},
      {"a link to the render", "res.json",
       [&] { fs::create_symlink(m_dir / "render.png", m_dir / "res.json"); }, true},
      {"the render's own path", "render.png", [] {}, true},
      {"a hard link to the original", "res.json",
       [&] { fs::create_hard_link(m_dir / "original.raw", m_dir / "res.json"); }, true},
      {"a new file in the destination", "out/res.json", [] {}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(m_dir / "res.json");
    emptyDestination();
    c.arrange();
    const Outcome r = runBridge({"--request", "req.json", c.resultPath}, m_dir.path());
    EXPECT_EQ(readFile(m_dir / "original.raw"), original);
    EXPECT_EQ(readFile(m_dir / "render.png"), render);
    if (c.refused) {
      EXPECT_EQ(r.status, 2);
      EXPECT_EQ(r.err, kCannotSaveResultLine);
      EXPECT_TRUE(fs::is_empty(m_dir / "out"));
      continue;
    }
    EXPECT_EQ(r.status, 0);
    const auto result = nlohmann::json::parse(readFile(m_dir / c.resultPath));
    EXPECT_EQ(result["count"], 1);
    EXPECT_TRUE(fs::exists(result["directory"].get<std::string>() + "/.quillmere-manifest.json"));
  }
}

// Short of descriptors at any point of the batch, request mode still answers, and the roll-back,
// which needs no descriptor of its own, leaves no hidden staging behind.
TEST_F(RequestLimits, TooFewDescriptorsFailCleanly) {
#ifdef QUILLMERE_SANITIZED
  GTEST_SKIP() << "the sanitizers' own checks open descriptors (UBSan's type check makes a pipe to "
                  "probe memory) and report false errors, ending the program, when none is left";
#endif
  writeFile(m_dir / "req.json", requestOf(3));
  int saved = 0;
  testing::underEachLimit(
      RLIMIT_NOFILE, 4, 24, 2,
      [&](const BridgeOptions& options) {
        emptyDestination();
        fs::remove(m_dir / "res.json");
        return runBridge({"--request", "req.json", "res.json"}, m_dir.path(), options);
      },
      [&](const Outcome& r) {
        EXPECT_LE(r.status, 2);
        // What the program answered, for a failure below to be read by.
        SCOPED_TRACE("status " + std::to_string(r.status) + ", standard error \"" + r.err +
                     "\", result " +
                     (fs::exists(m_dir / "res.json") ? readFile(m_dir / "res.json") : "none"));
        expectNoStaging();
        if (r.status == 0) ++saved;
        return true;
      });
  EXPECT_GT(saved, 0);  // the sweep reaches limits where the batch succeeds
}

// Running out of memory anywhere (reading a large request, decoding it, admitting, hashing and
// copying photos, committing, answering) is an answer: status 0, status 1 with the Chinese
// sentence in a whole result, or 2 with the one line and no result; never an abort, never a
// library's text, never hidden staging or a batch folder that does not hold its whole batch.
// Each request is run under address-space limits found for it, to the MiB: where the program can
// just start, where the batch first succeeds, and a few between and around them.
TEST_F(RequestLimits, RunningOutOfMemoryIsAnAnswerNeverAnAbort) {
#ifdef QUILLMERE_SANITIZED
  GTEST_SKIP() << "a sanitized program reserves terabytes of address space for its shadow "
                  "memory and cannot start under an address-space limit at all";
#endif
  // Photos that take real work: a render to inspect, copy and read back, an original to hash.
  writeFile(m_dir / "render.jpg", testing::jpegImage(400, 300));
  writeFile(m_dir / "original.raw", std::string(256 << 10, 'o'));
  const struct {
    const char* name;
    std::string request;
    std::size_t items;
    rlim_t resolution;  // MiB
  } cases[] = {
      // 3.7 MB of request in 50 long identifiers: parsing it alone takes tens of MB.
      {"50 items of long identifiers", requestOf(50, 3'700'000), 50, 1},
      // The largest request there may be, whose manifest doubles every "/": 8 MB of it. A run
      // that gets far copies 500 photos, so the search is coarser.
      {"500 items of identifiers full of \"/\"", testing::largestRequest("original.raw", "render.jpg"),
       500, 4},
  };
  const rlim_t floor =
      testing::lowestLimitToStart(RLIMIT_AS, rlim_t{16} << 20, rlim_t{256} << 20, rlim_t{1} << 20);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(m_dir / "req.json", c.request);
    int saved = 0, outOfMemory = 0;
    const int started = testing::acrossLimits(
        RLIMIT_AS, floor, rlim_t{256} << 20, c.resolution << 20,
        [&](const BridgeOptions& options) {
          emptyDestination();
          fs::remove(m_dir / "res.json");
          return runBridge({"--request", "req.json", "res.json"}, m_dir.path(), options);
        },
        [&](const Outcome& r) {
          EXPECT_LE(r.status, 2) << r.err;
          expectNoStaging();
          expectWholeBatches(c.items);
          const bool answered = fs::exists(m_dir / "res.json");
          const std::string text = answered ? readFile(m_dir / "res.json") : "";
          EXPECT_TRUE(!answered || nlohmann::json::accept(text)) << text;
          if (r.status == 2) {
            EXPECT_EQ(r.err, kCannotSaveResultLine);
            EXPECT_FALSE(answered) << text;
            ++outOfMemory;
            return;
          }
          EXPECT_TRUE(answered) << "status " << r.status;
          if (!answered) return;
          const auto result = nlohmann::json::parse(text);
          if (r.status == 1) {
            EXPECT_EQ(result["error"], kOutOfMemoryMessage);
            EXPECT_TRUE(fs::is_empty(m_dir / "out"));
            ++outOfMemory;
          } else if (r.status == 0) {
            EXPECT_EQ(result["count"], c.items);
            EXPECT_TRUE(fs::exists(result["directory"].get<std::string>()));
            ++saved;
          }
        });
    EXPECT_GT(started, 0);
    EXPECT_GT(outOfMemory, 0);  // the sweep reaches limits where memory runs out
    EXPECT_GT(saved, 0);        // and where the batch succeeds
  }
}

// From the lowest address-space limit under which the loader can start the program at all, found
// by bisection to 256 KiB, a small batch is answered under every limit, MiB by MiB: saved whole
// with its result, or refused with the documented out-of-memory answer; never a signal, an abort,
// a loader's failure or a status without its answer. Below that limit the loader cannot map the
// program's libraries and ends with status 127, which the program itself never answers; above
// it nothing may fail before the program's own code runs, as a library's start-up that needs
// more room than the batch would. The program loads no library it does not use, so that limit
// is a few tens of MiB.
TEST_F(RequestLimits, ASmallBatchIsAnsweredUnderEveryAddressSpaceTheProgramStartsIn) {
#ifdef QUILLMERE_SANITIZED
  GTEST_SKIP() << "a sanitized program reserves terabytes of address space for its shadow "
                  "memory and cannot start under an address-space limit at all";
#endif
  const auto under = [&](rlim_t limit, const std::vector<std::string>& args) {
    BridgeOptions options;
    options.limits = {{RLIMIT_AS, limit}};
    return runBridge(args, m_dir.path(), options);
  };
  const auto loads = [&](rlim_t limit) { return under(limit, {"--version"}).status != 127; };
  constexpr rlim_t kStep = rlim_t{1} << 18;
  // Under 4 MiB not even the loader's own message fits, and under less the kernel cannot finish
  // the exec: the search starts where the loader still reports.
  rlim_t from = rlim_t{4} << 20, to = rlim_t{256} << 20;  // no load at `from`, a load at `to`
  ASSERT_FALSE(loads(from));
  ASSERT_TRUE(loads(to));
  while (to - from > kStep) {
    const rlim_t middle = from + (to - from) / kStep / 2 * kStep;
    (loads(middle) ? to : from) = middle;
  }
  const rlim_t floor = to;
  const Outcome version = under(floor, {"--version"});
  EXPECT_EQ(version.status, 0) << version.err;
  EXPECT_TRUE(version.out.starts_with("quillmere-bridge ")) << version.out;

  writeFile(m_dir / "req.json", requestOf(1));
  std::optional<rlim_t> firstSaved;
  for (rlim_t limit = floor; limit <= floor + (rlim_t{48} << 20); limit += rlim_t{1} << 20) {
    SCOPED_TRACE("RLIMIT_AS " + std::to_string(limit >> 10) + " KiB");
    emptyDestination();
    fs::remove(m_dir / "res.json");
    const Outcome r = under(limit, {"--request", "req.json", "res.json"});
    expectNoStaging();
    expectWholeBatches(1);
    const bool answered = fs::exists(m_dir / "res.json");
    if (r.status == 2) {
      EXPECT_EQ(r.err, kCannotSaveResultLine);
      EXPECT_FALSE(answered);
      continue;
    }
    ASSERT_TRUE(r.status == 0 || r.status == 1) << "status " << r.status << ": " << r.err;
    EXPECT_EQ(r.err, "");
    ASSERT_TRUE(answered) << "status " << r.status << " without a result";
    const auto result = nlohmann::json::parse(readFile(m_dir / "res.json"));
    if (r.status == 1) {
      EXPECT_EQ(result["error"], kOutOfMemoryMessage);
      EXPECT_TRUE(fs::is_empty(m_dir / "out"));
      continue;
    }
    EXPECT_EQ(result["count"], 1);
    EXPECT_TRUE(fs::exists(result["directory"].get<std::string>() + "/.quillmere-manifest.json"));
    if (!firstSaved) firstSaved = limit;
  }
  ASSERT_TRUE(firstSaved) << "no batch saved up to " << ((floor >> 20) + 48) << " MiB";
  std::cout << "The program starts from " << (floor >> 10) << " KiB of address space; the small "
            << "batch is first saved under " << (*firstSaved >> 10) << " KiB.\n";
}

}  // namespace
}  // namespace quillmere
