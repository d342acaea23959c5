// Request mode at the edges: a result path that leads to one of the request's own photos, and a
// process short of descriptors or memory. Each ends with an answer (status 1 or 2), never with a
// signal, a damaged input or hidden staging left behind.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/bridge_process.h"
#include "app/request_mode.h"
#include "records/records.h"
#include "support/images.h"
#include "support/temp_dir.h"

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
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' own checks open descriptors (UBSan's type check makes a pipe to "
                  "probe memory) and report false errors, ending the program, when none is left";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  GTEST_SKIP() << "the sanitizers' own checks open descriptors (UBSan's type check makes a pipe to "
                  "probe memory) and report false errors, ending the program, when none is left";
#endif
#endif
  writeFile(m_dir / "req.json", requestOf(3));
  int saved = 0;
  for (rlim_t limit = 4; limit <= 24; limit += 2) {
    SCOPED_TRACE("RLIMIT_NOFILE " + std::to_string(limit));
    emptyDestination();
    fs::remove(m_dir / "res.json");
    BridgeOptions options;
    options.limits = {{RLIMIT_NOFILE, limit}};
    const Outcome r = runBridge({"--request", "req.json", "res.json"}, m_dir.path(), options);
    if (r.status == 127 && r.err.find("error while loading shared libraries") != std::string::npos) {
      continue;  // too few even to load the program's libraries: it never ran
    }
    EXPECT_GE(r.status, 0) << "ended by signal " << -r.status;
    EXPECT_LE(r.status, 2);
    // What the program answered, for a failure below to be read by.
    SCOPED_TRACE("status " + std::to_string(r.status) + ", standard error \"" + r.err +
                 "\", result " +
                 (fs::exists(m_dir / "res.json") ? readFile(m_dir / "res.json") : "none"));
    expectNoStaging();
    if (r.status == 0) ++saved;
  }
  EXPECT_GT(saved, 0);  // the sweep reaches limits where the batch succeeds
}

// Running out of memory anywhere (reading a large request, staging, answering) is an answer:
// status 1 with the Chinese sentence, or 2 with the one line when no result can be made; never an
// abort, never a library's text, never hidden staging.
TEST_F(RequestLimits, RunningOutOfMemoryIsAnAnswerNeverAnAbort) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitized program reserves terabytes of address space for its shadow "
                  "memory and cannot start under an address-space limit at all";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  GTEST_SKIP() << "a sanitized program reserves terabytes of address space for its shadow "
                  "memory and cannot start under an address-space limit at all";
#endif
#endif
  // 3.7 MB of request: parsing it alone takes tens of MB.
  writeFile(m_dir / "req.json", requestOf(50, 3'700'000));
  int ran = 0, outOfMemory = 0;
  for (rlim_t mebibytes = 72; mebibytes <= 160; mebibytes += 8) {
    SCOPED_TRACE("RLIMIT_AS " + std::to_string(mebibytes) + " MiB");
    emptyDestination();
    fs::remove(m_dir / "res.json");
    BridgeOptions options;
    options.limits = {{RLIMIT_AS, mebibytes << 20}};
    const Outcome r = runBridge({"--request", "req.json", "res.json"}, m_dir.path(), options);
    if (r.status == 127 && r.err.find("error while loading shared libraries") != std::string::npos) {
      continue;  // too little even to load the program's libraries: it never ran
    }
    ++ran;
    EXPECT_GE(r.status, 0) << "ended by signal " << -r.status << ": " << r.err;
    EXPECT_LE(r.status, 2) << r.err;
    expectNoStaging();
    if (r.status == 2) {
      EXPECT_EQ(r.err, kCannotSaveResultLine);
      ++outOfMemory;
    }
    if (r.status == 1) {
      const auto result = nlohmann::json::parse(readFile(m_dir / "res.json"));
      EXPECT_EQ(result["error"], kOutOfMemoryMessage);
      ++outOfMemory;
    }
  }
  EXPECT_GT(ran, 0);
  EXPECT_GT(outOfMemory, 0);  // the sweep reaches limits where memory runs out
}

}  // namespace
}  // namespace quillmere
