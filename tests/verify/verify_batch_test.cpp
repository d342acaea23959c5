#include "verify/verify_batch.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/faulty_file_system.h"
#include "support/images.h"
#include "support/sanitized.h"
#include "support/saved_batch.h"
#include "support/temp_dir.h"
#include "transfer/create_batch.h"
#include "transfer/manifest.h"

namespace quillmere {

// So that a failing comparison shows the problems as text.
void PrintTo(const VerifyProblem& problem, std::ostream* out) {
  *out << "{" << problem.file << ": " << problem.problem << "}";
}

namespace {

namespace fs = std::filesystem;
using testing::FaultyFileSystem;
using testing::FsOp;
using testing::readFile;
using testing::snapshot;
using testing::TempDir;
using testing::writeFile;

// The manifest as the test reads it, independently of the code under test.
Manifest manifestFromJson(const std::string& bytes) {
  const auto json = nlohmann::json::parse(bytes);
  Manifest manifest;
  manifest.catalogFingerprint = json["catalogFingerprint"];
  manifest.issuedAt = json["issuedAt"];
  manifest.provider = json["provider"];
  manifest.transferBatchId = json["transferBatchId"];
  for (const auto& item : json["items"]) {
    ManifestItem m;
    m.image = {item["mediaFormat"], item["width"], item["height"], item["bitDepth"]};
    m.externalPhotoId = item["externalPhotoId"];
    m.externalVariantId = item["externalVariantId"];
    m.renderFilename = item["renderFilename"];
    m.renderId = item["renderId"];
    m.renderSha256 = item["renderSha256"];
    m.sourceSha256 = item["sourceSha256"];
    m.variantId = item["variantId"];
    manifest.items.push_back(std::move(m));
  }
  return manifest;
}

// A batch saved by testing::saveBatch, with its manifest as this test reads it.
struct Batch {
  std::string folder;
  Manifest manifest;

  std::string render(std::size_t i) const { return manifest.items[i].renderFilename; }
  std::string path(const std::string& name) const { return folder + "/" + name; }
  std::string manifestPath() const { return path(kManifestFileName); }
  // Writes `edited` as this program writes manifests.
  void rewrite(const Manifest& edited) const { writeFile(manifestPath(), encodeManifest(edited)); }
};

Batch batchAt(const std::string& folder) {
  Batch batch{folder, {}};
  batch.manifest = manifestFromJson(readFile(batch.manifestPath()));
  return batch;
}

std::string problemsText(const VerifyReport& report) {
  std::string text = report.isBatch ? "batch" : "not a batch";
  text += ", " + std::to_string(report.count) + " renders";
  for (const auto& p : report.problems) text += "\n  " + p.file + ": " + p.problem;
  return text;
}

// The table of what can happen to a batch after it was saved, and what verifying it says. Every
// case also shows that verifying changed nothing in the folder.
TEST(VerifyBatch, ATableOfBatchesAsTheyMayBeFoundLater) {
  struct Expected {
    bool isBatch = true;
    std::vector<VerifyProblem> problems;
    std::size_t count = 3;  // renders the manifest lists, when it is a batch's
  };
  struct Case {
    const char* name;
    std::function<void(Batch&)> damage;
    std::function<Expected(const Batch&)> expected;
    // When set, the file services fail this call, on this path, with this error.
    std::function<FaultyFileSystem*(const Batch&)> faults = {};
  };
  const auto unreadable = [](const char* start, const char* reason) {
    return std::string(start) + reason + "。";
  };
  const Case cases[] = {
      {"a good batch", [](Batch&) {}, [](const Batch&) { return Expected{}; }},
      {"a render changed by one byte",
       [](Batch& b) {
         std::string bytes = readFile(b.path(b.render(1)));
         bytes[bytes.size() / 2] ^= 0x01;
         writeFile(b.path(b.render(1)), bytes);
       },
       [](const Batch& b) {
         return Expected{true, {{b.render(1), kRenderDiffersProblem}}};
       }},
      {"a render cut short",
       [](Batch& b) {
         fs::resize_file(b.path(b.render(2)), fs::file_size(b.path(b.render(2))) - 1);
       },
       [](const Batch& b) {
         return Expected{true, {{b.render(2), kRenderDiffersProblem}}};
       }},
      {"a render missing", [](Batch& b) { fs::remove(b.path(b.render(0))); },
       [](const Batch& b) {
         return Expected{true, {{b.render(0), kRenderMissingProblem}}};
       }},
      {"a render replaced by a link to an identical copy outside the folder",
       [](Batch& b) {
         const std::string outside = b.folder + "/../outside";
         fs::copy_file(b.path(b.render(0)), outside);
         fs::remove(b.path(b.render(0)));
         fs::create_symlink(outside, b.path(b.render(0)));
       },
       [](const Batch& b) {
         return Expected{true, {{b.render(0), kRenderNotAFileProblem}}};
       }},
      {"a render replaced by a folder",
       [](Batch& b) {
         fs::remove(b.path(b.render(1)));
         fs::create_directory(b.path(b.render(1)));
       },
       [](const Batch& b) {
         return Expected{true, {{b.render(1), kRenderNotAFileProblem}}};
       }},
      {"an extra hidden file and an extra folder",
       [](Batch& b) {
         writeFile(b.path(".DS_Store"), "finder");
         fs::create_directory(b.path("extra"));
       },
       [](const Batch&) {
         return Expected{true, {{".DS_Store", kExtraEntryProblem}, {"extra", kExtraEntryProblem}}};
       }},
      {"a digest edited in the manifest",
       [](Batch& b) {
         Manifest m = b.manifest;
         m.items[1].renderSha256[0] = m.items[1].renderSha256[0] == '0' ? '1' : '0';
         b.rewrite(m);
       },
       [](const Batch& b) {
         // The render still matches its "renderId": the digest is what was edited.
         return Expected{true, {{b.render(1), kRenderSha256AlteredProblem}}};
       }},
      {"two items' digests and render identifiers swapped",
       [](Batch& b) {
         Manifest m = b.manifest;
         std::swap(m.items[0].renderSha256, m.items[2].renderSha256);
         std::swap(m.items[0].renderId, m.items[2].renderId);
         b.rewrite(m);
       },
       [](const Batch& b) {
         return Expected{
             true, {{b.render(0), kRenderDiffersProblem}, {b.render(2), kRenderDiffersProblem}}};
       }},
      {"an item removed from the manifest",
       [](Batch& b) {
         Manifest m = b.manifest;
         m.items.erase(m.items.begin() + 1);
         b.rewrite(m);
       },
       [](const Batch& b) {
         return Expected{true, {{b.render(1), kExtraEntryProblem}}, 2};
       }},
      {"a width edited in the manifest",
       [](Batch& b) {
         Manifest m = b.manifest;
         m.items[2].image.width += 1;
         b.rewrite(m);
       },
       [](const Batch& b) {
         return Expected{true, {{b.render(2), kRenderDescriptionDiffersProblem}}};
       }},
      {"the manifest saved again by an editor that adds a line break",
       [](Batch& b) { testing::appendFile(b.manifestPath(), "\n"); },
       [](const Batch&) {
         return Expected{true, {{kManifestFileName, kManifestRewrittenProblem}}};
       }},
      {"a render name with ../ in the manifest",
       [](Batch& b) {
         Manifest m = b.manifest;
         m.items[0].renderFilename = "../" + m.items[0].renderFilename;
         b.rewrite(m);
       },
       [](const Batch&) {
         return Expected{false,
                         {{kManifestFileName, std::string(kUnrecognisedManifestStart) +
                                                  "第 1 项的“renderFilename”不符合格式" +
                                                  kUnrecognisedManifestEnd}}};
       }},
      {"not a batch at all: a folder of photos",
       [](Batch& b) {
         fs::remove(b.manifestPath());
         writeFile(b.path("DSC_0001.jpg"), testing::jpegImage(4, 4));
       },
       [](const Batch&) {
         return Expected{false, {{kManifestFileName, kNoManifestProblem}}};
       }},
      {"an empty folder",
       [](Batch& b) {
         fs::remove_all(b.folder);
         fs::create_directory(b.folder);
       },
       [](const Batch&) {
         return Expected{false, {{kManifestFileName, kNoManifestProblem}}};
       }},
      {"the manifest is a link to a manifest elsewhere",
       [](Batch& b) {
         fs::rename(b.manifestPath(), b.folder + "/../manifest");
         fs::create_symlink(b.folder + "/../manifest", b.manifestPath());
       },
       [](const Batch&) {
         return Expected{false, {{kManifestFileName, kManifestNotAFileProblem}}};
       }},
      {"a folder that is not there", [](Batch& b) { fs::remove_all(b.folder); },
       [&](const Batch& b) {
         return Expected{
             false,
             {{b.folder, unreadable(kFolderUnreadableStart, "没有那个文件或目录（ENOENT）")}}};
       }},
      {"a folder that cannot be read", [](Batch&) {},
       [&](const Batch& b) {
         return Expected{
             false, {{b.folder, unreadable(kFolderUnreadableStart, "没有访问权限（EACCES）")}}};
       },
       [](const Batch& b) { return new FaultyFileSystem(FsOp::listEntries, 1, b.folder, EACCES); }},
      {"a manifest that cannot be read", [](Batch&) {},
       [&](const Batch&) {
         return Expected{
             false,
             {{kManifestFileName, unreadable(kManifestUnreadableStart, "输入/输出错误（EIO）")}}};
       },
       [](const Batch& b) { return new FaultyFileSystem(FsOp::readAt, 1, b.manifestPath()); }},
      {"a render that cannot be read", [](Batch&) {},
       [&](const Batch& b) {
         return Expected{
             true, {{b.render(1), unreadable(kRenderUnreadableStart, "输入/输出错误（EIO）")}}};
       },
       [](const Batch& b) { return new FaultyFileSystem(FsOp::readAt, 1, b.path(b.render(1))); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    Batch batch = batchAt(testing::saveBatch(dir));
    c.damage(batch);
    const auto before = snapshot(dir.path());
    std::unique_ptr<FaultyFileSystem> faulty(c.faults ? c.faults(batch) : nullptr);
    const VerifyReport report =
        faulty ? verifyBatch(batch.folder, *faulty) : verifyBatch(batch.folder);
    if (faulty) {
      EXPECT_TRUE(faulty->fired());
    }
    const Expected expected = c.expected(batch);
    EXPECT_EQ(report.isBatch, expected.isBatch) << problemsText(report);
    EXPECT_EQ(report.problems, expected.problems) << problemsText(report);
    EXPECT_EQ(report.count, expected.isBatch ? expected.count : 0u);
    EXPECT_EQ(snapshot(dir.path()), before) << "verifying changed the folder";
  }
}

// A file system whose medium holds other bytes than its cache for one chosen file (the fake's
// mediumDiffers: reads after the file's pages are dropped come back changed), and which remembers
// every file that was read before it was given the read-ahead hint.
class DivergingMedium : public FaultyFileSystem {
 public:
  explicit DivergingMedium(std::string diverging) {
    mediumDiffers = [diverging = std::move(diverging)](const std::string& path) {
      return path == diverging;
    };
  }

  void adviseSequential(OpenFile& file) override {
    {
      const std::lock_guard lock(m_mutex);
      m_advised.insert(file.path);
    }
    FaultyFileSystem::adviseSequential(file);
  }
  std::size_t readAt(OpenFile& file, std::uint64_t offset, std::span<std::byte> buffer) override {
    {
      const std::lock_guard lock(m_mutex);
      if (!m_advised.contains(file.path)) m_readUnadvised.insert(file.path);
    }
    return FaultyFileSystem::readAt(file, offset, buffer);
  }

  std::set<std::string> readUnadvised() const { return m_readUnadvised; }

 private:
  std::mutex m_mutex;
  std::set<std::string> m_advised;
  std::set<std::string> m_readUnadvised;
};

TEST(VerifyBatch, EveryFileIsReadAsTheMediumHoldsItWithReadAhead) {
  TempDir dir;
  const Batch batch = batchAt(testing::saveBatch(dir));
  {
    SCOPED_TRACE("a render whose bytes on the medium differ from those in memory");
    DivergingMedium medium(batch.path(batch.render(1)));
    const VerifyReport report = verifyBatch(batch.folder, medium);
    EXPECT_EQ(report.problems,
              (std::vector<VerifyProblem>{{batch.render(1), kRenderDiffersProblem}}))
        << problemsText(report);
    EXPECT_EQ(medium.readUnadvised(), std::set<std::string>{});
  }
  {
    SCOPED_TRACE("a manifest whose bytes on the medium differ from those in memory");
    DivergingMedium medium(batch.manifestPath());
    const VerifyReport report = verifyBatch(batch.folder, medium);
    EXPECT_FALSE(report.isBatch) << problemsText(report);
    EXPECT_EQ(report.problems,
              (std::vector<VerifyProblem>{
                  {kManifestFileName, std::string(kUnrecognisedManifestStart) + "不是有效的 JSON" +
                                          kUnrecognisedManifestEnd}}));
  }
}

// Counts the bytes read, for seeing where a stop landed.
class CountingFileSystem : public FaultyFileSystem {
 public:
  std::size_t readAt(OpenFile& file, std::uint64_t offset, std::span<std::byte> buffer) override {
    const std::size_t got = FaultyFileSystem::readAt(file, offset, buffer);
    m_read += got;
    return got;
  }
  std::uint64_t bytesRead() const { return m_read.load(); }

 private:
  std::atomic<std::uint64_t> m_read = 0;
};

TEST(VerifyBatch, AStopLandsWithinOneChunkOnEachThread) {
  TempDir dir;
  const Batch batch = batchAt(testing::saveBatch(dir, 4, 6 << 20));
  for (const std::uint64_t stopAfter : {std::uint64_t{0}, std::uint64_t{3} << 20}) {
    SCOPED_TRACE(stopAfter);
    CountingFileSystem counting;
    std::atomic<bool> stop = stopAfter == 0;
    std::uint64_t readAtStop = 0;
    VerifyObserver observer;
    observer.stopFlag = &stop;
    observer.progress = [&](const VerifyProgress& progress) {
      if (!stop && progress.bytesDone >= stopAfter) {
        readAtStop = counting.bytesRead();
        stop = true;
      }
    };
    try {
      verifyBatch(batch.folder, counting, &observer);
      ADD_FAILURE() << "the verification was not stopped";
    } catch (const BridgeFailure& failure) {
      EXPECT_EQ(failure.message(), std::string(kVerifyStoppedMessage));
    }
    // Each of the two threads may finish the chunk it is reading, and perhaps a file's header
    // read for its inspection, and no more.
    EXPECT_LE(counting.bytesRead(), readAtStop + (2u << 20) + (256u << 10));
  }
}

TEST(VerifyBatch, ReportsProgressFromTheCallingThreadUpToEveryFile) {
  TempDir dir;
  const Batch batch = batchAt(testing::saveBatch(dir, 4, 3 << 20));
  const auto caller = std::this_thread::get_id();
  std::vector<VerifyProgress> reports;
  VerifyObserver observer;
  observer.progress = [&](const VerifyProgress& progress) {
    EXPECT_EQ(std::this_thread::get_id(), caller);
    reports.push_back(progress);
  };
  const VerifyReport report = verifyBatch(batch.folder, posixFileSystem(), &observer);
  EXPECT_TRUE(report.problems.empty()) << problemsText(report);
  ASSERT_FALSE(reports.empty());
  std::uint64_t total = fs::file_size(batch.manifestPath());
  for (std::size_t i = 0; i < 4; ++i) total += fs::file_size(batch.path(batch.render(i)));
  EXPECT_EQ(reports.back().bytesDone, total);
  EXPECT_EQ(reports.back().filesDone, 5u);
  EXPECT_EQ(reports.back().fileCount, 5u);
  for (std::size_t i = 1; i < reports.size(); ++i) {
    EXPECT_GE(reports[i].bytesDone, reports[i - 1].bytesDone);
    EXPECT_GE(reports[i].filesDone, reports[i - 1].filesDone);
  }
}

// Sanitizers reserve vast address ranges up front, so an address-space limit means nothing there.
#ifndef QUILLMERE_SANITIZED
// When no second thread can be started, one thread verifies every render. Run in a child process
// whose address space leaves no room for a thread's stack.
TEST(VerifyBatch, OneThreadVerifiesEverythingWhenNoSecondCanStart) {
  TempDir dir;
  const Batch batch = batchAt(testing::saveBatch(dir, 4, 0));
  std::string bytes = readFile(batch.path(batch.render(3)));
  bytes.back() ^= 0x01;
  writeFile(batch.path(batch.render(3)), bytes);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t used = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
    const rlimit limit{used + (6 << 20), used + (6 << 20)};  // less than one 8 MiB thread stack
    if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(3);
    try {
      const VerifyReport report = verifyBatch(batch.folder);
      const bool right = report.isBatch && report.count == 4 && report.problems.size() == 1 &&
                         report.problems[0].file == batch.render(3);
      ::_exit(right ? 0 : 1);
    } catch (...) {
      ::_exit(2);
    }
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
#endif

}  // namespace
}  // namespace quillmere
