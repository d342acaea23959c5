// What a batch promises beyond its happy path: the manifest describes exactly the stored files
// even when the render's path is replaced underneath, writes reach the disk in an order that
// survives a power cut, the failing file is named, a stop lands within one chunk, a roll-back
// leaves nothing whatever it meets, and the batch stays inside the destination folder it started
// in.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "inspect/digest.h"
#include "inspect/image_info.h"
#include "platform/system_error.h"
#include "support/child_process.h"
#include "support/failures.h"
#include "support/faulty_file_system.h"
#include "support/images.h"
#include "support/temp_dir.h"
#include "support/batch_folders.h"
#include "transfer/create_batch.h"
#include "transfer/manifest.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using testing::failureOf;
using testing::FaultyFileSystem;
using testing::FsOp;
using testing::readFile;
using testing::snapshot;
using testing::writeFile;

bool isStaged(const std::string& path) {
  return path.find("/.quillmere-partial-") != std::string::npos;
}

class BatchIntegrity : public testing::BatchFolders {
 protected:
  BatchRequest request(int n) {
    BatchRequest r{"CAPTURE_ONE", "catalog", destination(), {}};
    for (int i = 0; i < n; ++i) {
      const std::string index = std::to_string(i);
      r.items.push_back({input("o" + index + ".cr3", "original " + index),
                         input("r" + index + ".png", testing::pngImage(16, 12, i)),
                         "photo/" + index, "v" + index});
    }
    return r;
  }

  // Every item of the committed batch describes the file stored under its name.
  void expectManifestDescribesStoredFiles(const std::string& folder) {
    const auto manifest =
        nlohmann::json::parse(readFile(folder + "/" + std::string(kManifestFileName)));
    for (const auto& item : manifest["items"]) {
      const std::string stored = folder + "/" + item["renderFilename"].get<std::string>();
      SCOPED_TRACE(stored);
      const ImageInfo image = imageInfo(stored);
      EXPECT_EQ(item["mediaFormat"], image.mediaFormat);
      EXPECT_EQ(item["width"], image.width);
      EXPECT_EQ(item["height"], image.height);
      EXPECT_EQ(item["renderSha256"], sha256(stored));
    }
  }
};

// Exporters save by writing a new file and renaming it onto the old name. Whenever that happens
// during a pair, the stored file and its description must still agree.
TEST_F(BatchIntegrity, ARenderReplacedUnderItsPathNeverSplitsDescriptionFromStoredFile) {
  const BatchRequest r = request(2);
  const std::string target = r.items[1].renderPath;
  const std::string replacement = m_dir / "in/replacement.jpg";

  // Which calls a batch makes on the render and on its copy, in order.
  FaultyFileSystem counter;
  createBatch(r, counter);
  for (const auto& e : fs::directory_iterator(destination())) fs::remove_all(e.path());

  const struct {
    const char* moment;
    FsOp op;
    bool onStagedCopy;
  } moments[] = {
      {"before the render is opened", FsOp::openForReading, false},
      {"between reads of inspection and hashing", FsOp::readAt, false},
      {"before each chunk of the copy", FsOp::copyChunk, true},
      {"before the copy is hashed", FsOp::readAt, true},
  };
  int swaps = 0;
  for (const auto& m : moments) {
    for (int k = 1; k <= 8; ++k) {
      SCOPED_TRACE(std::string(m.moment) + " #" + std::to_string(k));
      writeFile(target, testing::pngImage(16, 12, 1));
      FaultyFileSystem spy;
      int seen = 0;
      bool swapped = false;
      spy.before = [&](FsOp op, const std::string& path) {
        const bool matches = m.onStagedCopy ? isStaged(path) : path == target;
        if (op != m.op || !matches || swapped || ++seen != k) return;
        writeFile(replacement, testing::jpegImage(8, 6, 7));
        fs::rename(replacement, target);
        swapped = true;
      };
      const std::string failure = failureOf([&] {
        const BatchResult result = createBatch(r, spy);
        expectManifestDescribesStoredFiles(*result.directory);
      });
      if (swapped) ++swaps;
      EXPECT_TRUE(failure == "no failure" || failure == kChangedDuringTransferMessage) << failure;
      for (const auto& e : fs::directory_iterator(destination())) fs::remove_all(e.path());
    }
  }
  EXPECT_GE(swaps, 4);
}

// A batch reported as saved survives a power cut: every staged render is flushed before the
// manifest that vouches for it is created, the staging folder's entries before the rename that
// commits it, and the destination after that rename.
TEST_F(BatchIntegrity, DurableWritesHappenInAnOrderThatSurvivesAPowerCut) {
  const BatchRequest r = request(3);
  std::vector<std::pair<FsOp, std::string>> calls;
  FaultyFileSystem recorder;
  recorder.before = [&](FsOp op, const std::string& path) { calls.emplace_back(op, path); };
  const BatchResult result = createBatch(r, recorder);
  const std::string batchId = fs::path(*result.directory).filename().string().substr(10);
  const std::string staging = destination() + "/.quillmere-partial-" + batchId;
  const std::string manifest = staging + "/" + kManifestFileName;
  const std::string ownerRecord = staging + "/.quillmere-staging-owner";

  auto first = [&](FsOp op, const std::string& path) -> std::optional<std::size_t> {
    for (std::size_t i = 0; i < calls.size(); ++i) {
      if (calls[i].first == op && calls[i].second == path) return i;
    }
    return std::nullopt;
  };
  const auto manifestCreated = first(FsOp::createExclusiveAt, manifest);
  const auto manifestSynced = first(FsOp::sync, manifest);
  const auto stagingSynced = first(FsOp::sync, staging);
  const auto committed = first(FsOp::renameNoReplaceAt, *result.directory);
  const auto destinationSynced = first(FsOp::sync, destination());
  // The destination's own entry, too: the caller may have made the folder just before.
  const auto parentSynced = first(FsOp::sync, fs::path(destination()).parent_path().string());
  ASSERT_TRUE(manifestCreated && manifestSynced && stagingSynced && committed &&
              destinationSynced && parentSynced);

  int renders = 0;
  for (const auto& [op, path] : calls) {
    if (op != FsOp::createExclusiveAt || !path.starts_with(staging + "/") || path == manifest ||
        path == ownerRecord) {
      continue;
    }
    ++renders;
    SCOPED_TRACE(path);
    const auto synced = first(FsOp::sync, path);
    ASSERT_TRUE(synced) << "a staged render is never flushed";
    EXPECT_LT(*synced, *manifestCreated);
  }
  EXPECT_EQ(renders, 3);
  // The owner record is flushed like the rest, and gone before the entries are made durable.
  const auto recordRemoved = first(FsOp::removeFileAt, ownerRecord);
  ASSERT_TRUE(first(FsOp::sync, ownerRecord) && recordRemoved);
  EXPECT_LT(*recordRemoved, *stagingSynced);
  EXPECT_LT(*manifestSynced, *stagingSynced);
  EXPECT_LT(*stagingSynced, *committed);
  EXPECT_GT(*destinationSynced, *committed);
  EXPECT_GT(*parentSynced, *committed);
}

// The observer learns which pair and which of its files a failure concerns, so a report can
// send the user to the right file, or to none when the destination or the batch is at fault.
TEST_F(BatchIntegrity, TheObserverHearsWhichFileOfWhichPairFailed) {
  // Two pairs are staged at once, so a fault is aimed at one path; random names in it match any.
  const std::string anyUuid = "00000000-0000-0000-0000-000000000000";
  const std::string stagedJpeg =
      destination() + "/.quillmere-partial-" + anyUuid + "/" + anyUuid + ".jpg";
  struct Fault {
    FsOp op;
    int k;
    std::string path;  // empty: the k-th call of `op` wherever it goes
  };
  const struct {
    const char* name;
    std::function<void(BatchRequest&)> arrange;
    std::optional<Fault> fault;
    std::optional<std::size_t> item;
    BatchSubject subject;
  } cases[] = {
      {"original missing", [](BatchRequest& r) { fs::remove(r.items[1].sourcePath); }, std::nullopt,
       1, BatchSubject::original},
      {"original empty", [](BatchRequest& r) { writeFile(r.items[1].sourcePath, ""); },
       std::nullopt, 1, BatchSubject::original},
      {"original is a folder",
       [](BatchRequest& r) {
         fs::remove(r.items[1].sourcePath);
         fs::create_directory(r.items[1].sourcePath);
       },
       std::nullopt, 1, BatchSubject::original},
      {"render missing", [](BatchRequest& r) { fs::remove(r.items[2].renderPath); }, std::nullopt,
       2, BatchSubject::render},
      {"render empty", [](BatchRequest& r) { writeFile(r.items[0].renderPath, ""); }, std::nullopt,
       0, BatchSubject::render},
      {"render not an image", [](BatchRequest& r) { writeFile(r.items[1].renderPath, "text"); },
       std::nullopt, 1, BatchSubject::render},
      {"original unreadable while hashing", [](BatchRequest&) {},
       Fault{FsOp::readAt, 1, m_dir / "in/o0.cr3"}, 0, BatchSubject::original},
      {"destination gone", [&](BatchRequest&) { fs::remove_all(destination()); }, std::nullopt,
       std::nullopt, BatchSubject::none},
      {"staging folder cannot be made", [](BatchRequest&) {}, Fault{FsOp::createDirectoryAt, 1, ""},
       std::nullopt, BatchSubject::none},
      {"copy cannot be written",
       // The one JPEG among PNGs, so that its copy is the one staged file named .jpg.
       [](BatchRequest& r) { writeFile(r.items[1].renderPath, testing::jpegImage(16, 12)); },
       Fault{FsOp::createExclusiveAt, 1, stagedJpeg}, 1, BatchSubject::none},
      {"commit fails", [](BatchRequest&) {}, Fault{FsOp::renameNoReplaceAt, 1, ""}, std::nullopt,
       BatchSubject::none},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(m_dir / "in");
    fs::create_directory(m_dir / "in");
    fs::create_directories(destination());
    BatchRequest r = request(3);
    c.arrange(r);
    FaultyFileSystem faulty = !c.fault ? FaultyFileSystem()
                              : c.fault->path.empty()
                                  ? FaultyFileSystem(c.fault->op, c.fault->k)
                                  : FaultyFileSystem(c.fault->op, c.fault->k, c.fault->path);
    std::vector<BatchFailureSite> heard;
    BatchObserver observer{{}, {}, [&](const BatchFailureSite& site) { heard.push_back(site); }};
    EXPECT_NE(failureOf([&] { createBatch(r, faulty, &observer); }), "no failure");
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0].item, c.item);
    EXPECT_EQ(heard[0].subject, c.subject);
  }
}

// The next pair is read while the current one is copied and checked, yet failures come out as if
// the pairs ran one after another: when pairs k and k + 1 both fail, k's failure is the one
// reported, with k's file, and nothing of either is left behind.
TEST_F(BatchIntegrity, WhenTwoPairsInFlightBothFailTheEarlierOnesFailureWins) {
  const auto changeOnSecondOpen = [](const std::string& path) {
    return [path, opens = 0](FsOp op, const std::string& p) mutable {
      if (op == FsOp::openForReading && p == path && ++opens == 2) writeFile(path, "edited");
    };
  };
  const struct {
    const char* name;
    // Breaks pair k (and, through the hook or the fault, perhaps more) and pair k + 1.
    std::function<void(BatchRequest&, FaultyFileSystem&)> arrange;
    std::optional<std::pair<FsOp, int>> fault;
    std::string expected;
    BatchSubject subject;
  } cases[] = {
      {"k's original changes after its copy; k + 1's render is missing",
       [&](BatchRequest& r, FaultyFileSystem& f) {
         f.before = changeOnSecondOpen(r.items[1].sourcePath);
         fs::remove(r.items[2].renderPath);
       },
       std::nullopt, kChangedDuringTransferMessage, BatchSubject::original},
      {"k's render grows once opened; k + 1's render is not an image",
       [](BatchRequest& r, FaultyFileSystem& f) {
         f.before = [path = r.items[1].renderPath, grown = false](FsOp op,
                                                                  const std::string& p) mutable {
           if (op == FsOp::readAt && p == path && !grown) {
             grown = true;
             std::ofstream(path, std::ios::app) << "more";
           }
         };
         writeFile(r.items[2].renderPath, "text");
       },
       std::nullopt, kChangedDuringTransferMessage, BatchSubject::render},
      {"k's render is not an image; k + 1's original is missing",
       [](BatchRequest& r, FaultyFileSystem&) {
         writeFile(r.items[1].renderPath, "text");
         fs::remove(r.items[2].sourcePath);
       },
       std::nullopt, kNotAnAcceptedImageMessage, BatchSubject::render},
      {"k lacks its pairing; k + 1's render is empty",
       [](BatchRequest& r, FaultyFileSystem&) {
         r.items[1].externalVariantId.clear();
         writeFile(r.items[2].renderPath, "");
       },
       std::nullopt, kPairingMissingMessage, BatchSubject::original},
  };
  for (const bool large : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (large ? ", large pairs" : ", small pairs"));
      fs::remove_all(m_dir / "in");
      fs::create_directory(m_dir / "in");
      BatchRequest r = request(4);
      if (large) {
        for (const Pair& pair : r.items) {
          writeFile(pair.renderPath, testing::pngImage(16, 12) + std::string(5 << 20, 'p'));
          writeFile(pair.sourcePath, std::string(5 << 20, 'o'));
        }
      }
      FaultyFileSystem faulty =
          c.fault ? FaultyFileSystem(c.fault->first, c.fault->second) : FaultyFileSystem();
      c.arrange(r, faulty);
      std::vector<BatchFailureSite> heard;
      std::vector<std::size_t> items;
      BatchObserver observer{
          [&](const BatchProgress& p) {
            if (p.phase == BatchPhase::staging && (items.empty() || items.back() != p.item)) {
              items.push_back(p.item);
            }
          },
          {},
          [&](const BatchFailureSite& site) { heard.push_back(site); }};
      const std::string failure = failureOf([&] { createBatch(r, faulty, &observer); });
      EXPECT_EQ(failure, c.expected);
      ASSERT_EQ(heard.size(), 1u);
      EXPECT_EQ(heard[0].item, std::optional<std::size_t>(1));
      EXPECT_EQ(heard[0].subject, c.subject);
      EXPECT_EQ(items, (std::vector<std::size_t>{0, 1})) << "the observer heard of pair k + 1";
      EXPECT_TRUE(fs::is_empty(destination()));
    }
  }
}

// A stop is heard between chunks of a few MiB, not only between files: in the middle of one large
// original the batch reads at most one more chunk on each thread.
TEST_F(BatchIntegrity, AStopLandsWithinOneChunkOfALargeFile) {
  BatchRequest r = request(1);
  testing::makeSparseFile(r.items[0].sourcePath, std::int64_t{64} << 20);
  std::stop_source stop;
  std::atomic<int> readsAfterStop = 0;
  FaultyFileSystem spy;
  spy.before = [&](FsOp op, const std::string&) {
    if (op == FsOp::readAt && stop.stop_requested()) ++readsAfterStop;
  };
  BatchObserver observer{[&](const BatchProgress& p) {
                           if (p.bytesDone > 0) stop.request_stop();
                         },
                         stop.get_token(),
                         {}};
  const auto before = snapshot(m_dir.path());
  EXPECT_EQ(failureOf([&] { createBatch(r, spy, &observer); }), kBatchStoppedMessage);
  EXPECT_LE(readsAfterStop.load(), 2);
  EXPECT_EQ(snapshot(m_dir.path()), before);
}

// A batch that fails rolls back its staging folder even when that folder holds more than the files
// the batch made there (another program put one in) or one of them would not go (its removal
// failed): the folder is then emptied by listing it, and the destination ends as it was.
TEST_F(BatchIntegrity, ARollBackMeetingAForeignFileOrAFailedRemovalStillLeavesNothing) {
  const BatchRequest r = request(2);
  writeFile(destination() + "/earlier.txt", "kept");
  const auto before = snapshot(destination());
  const struct {
    const char* name;
    bool foreignFile;
  } cases[] = {{"a foreign file in the staging folder", true},
               {"a removal of a staged file that fails", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FaultyFileSystem spy;
    bool rollingBack = false, removalFailed = false;
    spy.before = [&](FsOp op, const std::string& path) {
      if (op == FsOp::createExclusiveAt && isStaged(path) && path.ends_with(kManifestFileName)) {
        // The batch fails as its manifest is created, with both copies staged.
        rollingBack = true;
        if (c.foreignFile) writeFile(fs::path(path).parent_path() / "foreign.txt", "another's");
        throwSystemError(EIO, "create", path);
      }
      if (op == FsOp::removeFileAt && rollingBack && !c.foreignFile && !removalFailed) {
        removalFailed = true;
        throwSystemError(EIO, "remove", path);
      }
    };
    EXPECT_NE(failureOf([&] { createBatch(r, spy); }), "no failure");
    EXPECT_TRUE(rollingBack);
    EXPECT_EQ(removalFailed, !c.foreignFile);
    EXPECT_EQ(snapshot(destination()), before);
  }
}

// Everything happens inside the folder that was opened when the batch started, and a batch is
// committed only while the destination path still leads there: a path repointed or a folder moved
// meanwhile neither receives part of the batch nor keeps hidden staging, and success never names
// a folder where the batch is not.
TEST_F(BatchIntegrity, ADestinationMovedOrRepointedMidBatchIsRefusedAndLeftAsItWas) {
  const std::string link = m_dir / "link";
  const std::string moved = m_dir / "moved";
  const std::string other = m_dir / "other";
  const struct {
    const char* name;
    std::function<void()> change;  // once, when the first file is created in the staging folder
    bool commits;
  } cases[] = {
      {"left alone", [] {}, true},
      {"link repointed",
       [&] {
         fs::remove(link);
         fs::create_directory_symlink(other, link);
       },
       false},
      {"folder moved", [&] { fs::rename(destination(), moved); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(moved);
    fs::remove_all(other);
    fs::create_directory(other);
    fs::remove(link);
    fs::create_directory_symlink(destination(), link);
    for (const auto& e : fs::directory_iterator(destination())) fs::remove_all(e.path());
    BatchRequest r = request(3);
    r.destination = link;
    FaultyFileSystem spy;
    bool changed = false;
    spy.before = [&](FsOp op, const std::string&) {
      if (op != FsOp::createExclusiveAt || changed) return;
      changed = true;
      c.change();
    };
    const std::string failure = failureOf([&] { createBatch(r, spy); });
    EXPECT_TRUE(fs::is_empty(other));
    const std::string worked = fs::exists(moved) ? moved : destination();
    if (!c.commits) {
      EXPECT_EQ(failure, kChooseFolderAgainMessage);
      EXPECT_TRUE(fs::is_empty(worked));
      if (fs::exists(moved)) fs::rename(moved, destination());
      continue;
    }
    EXPECT_EQ(failure, "no failure");
    const auto names = snapshot(destination());
    ASSERT_FALSE(names.empty());
    for (const auto& [name, content] : names) EXPECT_TRUE(name.starts_with("Quillmere-")) << name;
  }

  // A failed commit rolls back in the folder it started in, wherever the link points by then.
  fs::remove(link);
  fs::create_directory_symlink(destination(), link);
  for (const auto& e : fs::directory_iterator(destination())) fs::remove_all(e.path());
  BatchRequest r = request(3);
  r.destination = link;
  FaultyFileSystem failing(FsOp::renameNoReplaceAt, 1);
  failing.before = [&, repointed = false](FsOp op, const std::string&) mutable {
    if (op != FsOp::createExclusiveAt || repointed) return;
    repointed = true;
    fs::remove(link);
    fs::create_directory_symlink(other, link);
  };
  EXPECT_NE(failureOf([&] { createBatch(r, failing); }), "no failure");
  EXPECT_TRUE(fs::is_empty(destination()));
  EXPECT_TRUE(fs::is_empty(other));
}

// Folders the batch could not serve completely are refused before anything is written: one that
// may be written but not read (its entries could not be made durable), and one whose path is not
// valid UTF-8 (the result could not name the new folder exactly).
TEST_F(BatchIntegrity, DestinationsThatCannotBeServedCompletelyAreRefusedUpFront) {
  const std::string notUtf8 = m_dir / "out/\xFF\xFE";
  fs::create_directory(notUtf8);
  BatchRequest r = request(1);
  r.destination = notUtf8;
  const auto before = snapshot(m_dir.path());
  EXPECT_EQ(failureOf([&] { createBatch(r); }), kChooseFolderAgainMessage);
  EXPECT_EQ(snapshot(m_dir.path()), before);

  // Permissions do not bind root, as whom CI runs: there this half runs as nobody.
  testing::runAsOrdinaryUser(m_dir.path(), [&] {
    const std::string writeOnly = m_dir / "write-only";
    fs::create_directory(writeOnly);
    fs::permissions(writeOnly, fs::perms::owner_write | fs::perms::owner_exec);
    r.destination = writeOnly;
    EXPECT_EQ(failureOf([&] { createBatch(r); }), kChooseFolderAgainMessage);
    fs::permissions(writeOnly, fs::perms::owner_all);
    EXPECT_TRUE(fs::is_empty(writeOnly));
  });
}

// When no second thread can be started (process or address-space limits), a large pair is read
// on one thread instead of failing. Run in a child that may start no thread at all: a limit of one
// task for its user (threads count as tasks). The limit binds ordinary users only, so as root the
// child becomes nobody first. It holds under the sanitizers too, where an address-space limit
// would not: they reserve vast address ranges up front.
TEST_F(BatchIntegrity, ALargePairIsReadOnOneThreadWhenNoSecondThreadCanStart) {
  BatchRequest r = request(1);
  writeFile(r.items[0].renderPath, testing::pngImage(16, 12) + std::string(6 << 20, 'p'));
  writeFile(r.items[0].sourcePath, std::string(6 << 20, 'o'));
  testing::ChildProcess child = testing::forkChild([&] {
    if (testing::isRoot()) testing::becomeNobody(m_dir.path());
    const rlimit oneTask{1, 1};
    if (::setrlimit(RLIMIT_NPROC, &oneTask) != 0) return false;
    try {
      std::thread([] {}).join();
      std::fprintf(stderr, "a thread could still be started\n");
      return false;
    } catch (const std::system_error&) {
    }
    return createBatch(r).count == 1;
  });
  EXPECT_EQ(child.wait(), 0);
  ASSERT_EQ(std::distance(fs::directory_iterator(destination()), fs::directory_iterator()), 1);
  expectManifestDescribesStoredFiles(fs::directory_iterator(destination())->path());
}

}  // namespace
}  // namespace quillmere
