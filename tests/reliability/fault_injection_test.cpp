// Every call into the file services, at every index, made to fail in turn: over a batch of five
// pairs, with a roll-back that fails too, and over the whole of request mode (and, in
// concurrency_test.cpp, over a large pair read on two threads). After each failure the inputs and
// the destination are exactly as they were and the caller receives the injected error itself,
// naming the path it concerned.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "app/request_mode.h"
#include "inspect/image_info.h"
#include "platform/system_error.h"
#include "records/json.h"
#include "reliability/refusing_mirror.h"
#include "reliability/reliability_support.h"
#include "support/faulty_file_system.h"
#include "support/temp_dir.h"
#include "transfer/create_batch.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using testing::CallLog;
using testing::failureOf;
using testing::FaultyFileSystem;
using testing::forEachCall;
using testing::FsOp;
using testing::readFile;
using testing::recordCalls;
using testing::snapshot;
using testing::withoutUuids;
using testing::writeFile;

constexpr const char* kIoError = "输入/输出错误（EIO）";

// The text a failure injected into `op` on `path` carries, as every platform error does.
// The error a failure injected on `path` is reported with. Failures inside the hidden staging
// folder name the batch folder it would have become.
std::string injectedError(FsOp op, std::string path) {
  if (const auto hidden = path.find("/.quillmere-partial-"); hidden != std::string::npos) {
    path.replace(hidden, std::strlen("/.quillmere-partial-"), "/Quillmere-");
  }
  return std::string("无法对“") + path + "”执行 injected " + testing::name(op) + "：" + kIoError;
}

// Makes every roll-back fail as well: nothing can be removed once the injected failure has fired.
class UnremovableFileSystem : public FaultyFileSystem {
 public:
  using FaultyFileSystem::FaultyFileSystem;
  void removeFile(const std::string& path) override {
    refuseOnceFired(path);
    FaultyFileSystem::removeFile(path);
  }
  void removeFileAt(OpenFile& folder, const std::string& name) override {
    refuseOnceFired(folder.path + "/" + name);
    FaultyFileSystem::removeFileAt(folder, name);
  }
  void removeEmptyFolderAt(OpenFile& folder, const std::string& name) override {
    refuseOnceFired(folder.path + "/" + name);
    FaultyFileSystem::removeEmptyFolderAt(folder, name);
  }

 private:
  void refuseOnceFired(const std::string& path) {
    if (fired()) throwSystemError(EBUSY, "remove", path);
  }
};

class FaultInjection : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* folder : {"in", "out", "caller"}) fs::create_directory(m_dir / folder);
  }

  std::string inputs() const { return m_dir / "in"; }
  std::string destination() const { return m_dir / "out"; }

  void emptyDestination() {
    for (const auto& entry : fs::directory_iterator(destination())) fs::remove_all(entry.path());
  }

  testing::TempDir m_dir;
};

TEST_F(FaultInjection, EveryCallOfAFivePairBatchFailsWithItsOwnErrorAndLeavesNothing) {
  const BatchRequest request = testing::smallRequest(inputs(), destination(), 5);
  const CallLog calls = recordCalls([&](FileSystem& fs) { createBatch(request, fs); });
  emptyDestination();
  const auto before = snapshot(m_dir.path());
  const int descriptors = testing::openDescriptorCount();

  std::map<std::string, std::set<FsOp>> failedAt;  // path, without its random names -> operations
  int committed = 0;
  forEachCall(calls, [&](FsOp op, int k, const std::string& path) {
    FaultyFileSystem faulty(op, k, path);
    const std::string failure = failureOf([&] { createBatch(request, faulty); });
    ASSERT_TRUE(faulty.fired());
    failedAt[withoutUuids(path)].insert(op);
    const auto expectSavedAllTheSame = [&] {
      EXPECT_EQ(failure, "no failure");
      EXPECT_EQ(testing::namesIn(destination()).size(), 1u);
      EXPECT_EQ(testing::incompleteBatchesIn(destination(), request.items.size()), "");
      emptyDestination();
      ASSERT_EQ(snapshot(m_dir.path()), before);
    };
    if (testing::onlyClearsLeftovers(op, path, destination())) {
      // Finding, locking or removing what dead batches left: this batch is saved all the same.
      expectSavedAllTheSame();
      return;
    }
    if (testing::onlyTakesAwayTheRecordBeside(op, path, destination())) {
      // The owner record beside the staging folder, once the folder has its own or the batch is
      // committed: the batch is saved, and a record left behind goes with a later save.
      EXPECT_EQ(failure, "no failure");
      EXPECT_EQ(testing::incompleteBatchesIn(destination(), request.items.size()), "");
      emptyDestination();
      ASSERT_EQ(snapshot(m_dir.path()), before);
      return;
    }
    if (testing::onlyMakesTheCommitDurable(op, path, destination())) {
      // The flushes of the destination and its parent after the rename: the batch is saved and
      // visible by then, so it is neither reported as failed nor taken away again.
      if (op == FsOp::sync && path == destination()) ++committed;
      expectSavedAllTheSame();
      return;
    }
    // The failures that are not passed on: a destination that cannot be opened is one the user
    // has to choose again, and a render whose headers cannot be read is not an accepted image.
    std::set<std::string> expected = {withoutUuids(injectedError(op, path))};
    // Nor is a destination that cannot be examined (when opened, or just before the commit).
    if ((op == FsOp::openDirectory || op == FsOp::statusOfFile || op == FsOp::status) &&
        path == destination()) {
      expected = {kChooseFolderAgainMessage};
    }
    if (op == FsOp::readAt || op == FsOp::statusOfFile || op == FsOp::openForReading) {
      expected.insert(kNotAnAcceptedImageMessage);
    }
    EXPECT_TRUE(expected.contains(withoutUuids(failure))) << failure;
    ASSERT_EQ(snapshot(m_dir.path()), before);
  });
  EXPECT_EQ(committed, 1);
  EXPECT_EQ(testing::openDescriptorCount(), descriptors);

  // Each pair was failed in every step that touches its files: admission, size, hashing,
  // inspection and copying. The render is opened once and examined through that descriptor.
  for (const Pair& pair : request.items) {
    SCOPED_TRACE(pair.renderPath);
    EXPECT_EQ(failedAt[pair.sourcePath],
              (std::set<FsOp>{FsOp::status, FsOp::openForReading, FsOp::readAt}));
    EXPECT_EQ(failedAt[pair.renderPath], (std::set<FsOp>{FsOp::status, FsOp::openForReading,
                                                         FsOp::statusOfFile, FsOp::readAt}));
  }
  EXPECT_EQ(calls.at(FsOp::openForReading).size(), 3 * request.items.size())
      << "the original twice, the render once";
  // And every staged copy in its creation, its copy, its hash and its flush (copies this small
  // are flushed without starting their write-back early).
  EXPECT_GE(calls.at(FsOp::copyChunk).size(), request.items.size());
  for (const auto& [path, ops] : failedAt) {
    if (ops.contains(FsOp::copyChunk)) {
      EXPECT_EQ(
          ops, (std::set<FsOp>{FsOp::createExclusiveAt, FsOp::copyChunk, FsOp::readAt,
                               FsOp::statusOfFile, FsOp::sync}))
          << path;
    }
  }
}

// The batch writes nothing anywhere but inside its own staging folder, which one rename then turns
// into the batch folder, and the small owner record that stands beside that folder while it holds
// none; originals and renders are only ever opened for reading.
TEST_F(FaultInjection, EveryWriteOfABatchGoesIntoItsOwnStagingFolder) {
  const BatchRequest request = testing::smallRequest(inputs(), destination(), 5);
  std::vector<std::pair<FsOp, std::string>> calls;
  FaultyFileSystem recorder;
  recorder.before = [&](FsOp op, const std::string& path) { calls.emplace_back(op, path); };
  const BatchResult result = createBatch(request, recorder);

  const std::string batchId = fs::path(*result.directory).filename().string().substr(10);
  const std::string staging = destination() + "/.quillmere-partial-" + batchId;
  int writes = 0;
  for (const auto& [op, path] : calls) {
    switch (op) {
      case FsOp::createDirectoryAt:
        EXPECT_EQ(path, staging);
        break;
      case FsOp::createExclusive:
      case FsOp::createExclusiveAt:
      case FsOp::writeAll:
      case FsOp::copyChunk:
      case FsOp::startWriteBack:
      case FsOp::renameReplace:
      case FsOp::removeFile:
      case FsOp::openStreamForWriting:
      case FsOp::removeFileAt:
        ++writes;
        // Into the staging folder, or the owner record that stands beside it for a moment.
        EXPECT_TRUE(path.starts_with(staging + "/") || path == staging + ".owner")
            << testing::name(op) << " " << path;
        break;
      case FsOp::renameNoReplaceAt:
        EXPECT_EQ(path, *result.directory);  // the commit, the only rename into the destination
        break;
      default:
        break;  // reads, examinations and flushes change nothing
    }
  }
  EXPECT_GE(writes, 3 * static_cast<int>(request.items.size()));
}

// Where the file system refuses no-replace renames (some network and FUSE file systems answer the
// flag with EINVAL), the commit looks at the batch's name and renames only when nothing has it.
// Another program may take the name before the look, or in the instant between the look and the
// rename: whatever it put there stays as it was, and the batch is rolled back. (An empty folder
// made in that instant is the one thing rename(2) would replace; the batch's name is a fresh
// random one.) Run on `destination` with a fake that refuses the flag, or, with `fakeRefuses`
// false, on a real file system that refuses it.
void expectTheFallbackCommitReplacesNothing(const std::string& inputs,
                                            const std::string& destination, bool fakeRefuses) {
  enum class Taken { nothing, emptyFolder, file, folderWithAFile };
  struct Case {
    const char* name;
    FsOp takenBefore;  // the call before which the name is taken
    Taken what;
    const char* reason;  // the end of the failure's text; none when the batch commits
  };
  const Case kCases[] = {
      {"nothing at the target", FsOp::renameAt, Taken::nothing, nullptr},
      {"an empty folder there before the look", FsOp::renameNoReplaceAt, Taken::emptyFolder,
       "文件已存在（EEXIST）"},
      {"a file there before the look", FsOp::renameNoReplaceAt, Taken::file,
       "文件已存在（EEXIST）"},
      {"a folder appears between the look and the rename", FsOp::renameAt, Taken::folderWithAFile,
       "目录不是空的（ENOTEMPTY）"},
      {"a file appears between the look and the rename", FsOp::renameAt, Taken::file,
       "不是目录（ENOTDIR）"},
  };
  const BatchRequest request = testing::smallRequest(inputs, destination, 2);
  const auto inputsBefore = snapshot(inputs);
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    FaultyFileSystem refusing;
    refusing.refuseNoReplace = fakeRefuses;
    std::string target;
    refusing.before = [&](FsOp op, const std::string& path) {
      if (op != c.takenBefore) return;
      target = path;
      switch (c.what) {
        case Taken::nothing:
          break;
        case Taken::emptyFolder:
          fs::create_directory(path);
          break;
        case Taken::file:
          writeFile(path, "another program's");
          break;
        case Taken::folderWithAFile:
          fs::create_directory(path);
          writeFile(path + "/kept", "another program's");
          break;
      }
    };
    std::string failure;
    std::optional<BatchResult> result;
    try {
      result = createBatch(request, refusing);
    } catch (const std::exception& error) {
      failure = error.what();
    }
    ASSERT_FALSE(target.empty()) << "the commit never reached the call before which to take it";
    // The kernel looks for the name itself before it asks a FUSE file system, so there a name
    // taken before the no-replace rename is refused by that rename (EEXIST), without the look.
    if (fakeRefuses || c.takenBefore == FsOp::renameAt) {
      EXPECT_EQ(refusing.calls(FsOp::entryStatusAt), 1);
    }
    if (!c.reason) {
      ASSERT_TRUE(result) << failure;
      EXPECT_EQ(*result->directory, target);
      EXPECT_EQ(testing::namesIn(destination).size(), 1u);
      EXPECT_EQ(testing::incompleteBatchesIn(destination, request.items.size()), "");
    } else {
      const std::string batchId = fs::path(target).filename().string().substr(10);
      EXPECT_EQ(failure, "无法将“" + destination + "/.quillmere-partial-" + batchId + "”移动到“" +
                             target + "”：" + c.reason);
      // Only what the other program made is left, exactly as it made it: the staging folder is
      // gone and nothing of the batch went into the name it took.
      EXPECT_EQ(testing::namesIn(destination),
                std::vector<std::string>{fs::path(target).filename().string()});
      if (c.what == Taken::file) {
        EXPECT_EQ(readFile(target), "another program's");
      } else {
        EXPECT_TRUE(fs::is_directory(target));
        EXPECT_EQ(testing::namesIn(target), c.what == Taken::emptyFolder
                                                ? std::vector<std::string>{}
                                                : std::vector<std::string>{"kept"});
      }
    }
    EXPECT_EQ(snapshot(inputs), inputsBefore);
    for (const auto& entry : fs::directory_iterator(destination)) fs::remove_all(entry.path());
  }
}

TEST_F(FaultInjection, WhereNoReplaceRenamesAreRefusedTheCommitStillReplacesNothing) {
  expectTheFallbackCommitReplacesNothing(inputs(), destination(), true);
}

// The same on a real file system that refuses the flag, where this machine can mount one.
TEST_F(FaultInjection, OnAFileSystemThatRefusesNoReplaceRenamesTheCommitStillReplacesNothing) {
  fs::create_directory(m_dir / "share");
  std::string reason;
  const auto mirror = testing::RefusingMirror::mount(destination(), m_dir / "share", reason);
  if (!mirror) GTEST_SKIP() << reason;
  expectTheFallbackCommitReplacesNothing(inputs(), m_dir / "share", false);
}

// When the roll-back cannot remove anything either, the caller still receives the failure that
// caused it, and what stays behind is hidden staging or a complete batch, never a partial one.
TEST_F(FaultInjection, AFailingRollBackStillReportsTheFirstFailureAndShowsNoPartialBatch) {
  const BatchRequest request = testing::smallRequest(inputs(), destination(), 3);
  const CallLog calls = recordCalls([&](FileSystem& fs) { createBatch(request, fs); });
  emptyDestination();
  const auto inputsBefore = snapshot(inputs());

  int leftStaging = 0;
  forEachCall(calls, [&](FsOp op, int k, const std::string& path) {
    UnremovableFileSystem faulty(op, k, path);
    const std::string failure = failureOf([&] { createBatch(request, faulty); });
    ASSERT_TRUE(faulty.fired());
    const bool passedOn =
        !((op == FsOp::openDirectory || op == FsOp::statusOfFile || op == FsOp::status) &&
          path == destination()) &&
        !testing::onlyMakesTheCommitDurable(op, path, destination()) &&
        !testing::onlyClearsLeftovers(op, path, destination()) &&
        !testing::onlyTakesAwayTheRecordBeside(op, path, destination()) &&
        failure != kNotAnAcceptedImageMessage;
    if (passedOn) {
      EXPECT_EQ(withoutUuids(failure), withoutUuids(injectedError(op, path)));
    }
    for (const auto& name : testing::namesIn(destination())) {
      EXPECT_TRUE(name.starts_with(".quillmere-partial-") || name.starts_with("Quillmere-"))
          << name;
      if (name.starts_with(".quillmere-partial-")) ++leftStaging;
    }
    EXPECT_EQ(testing::incompleteBatchesIn(destination(), request.items.size()), "");
    EXPECT_EQ(snapshot(inputs()), inputsBefore);
    emptyDestination();
  });
  EXPECT_GT(leftStaging, 0);
}

// Request mode end to end, on the same injected file services: reading the request, the batch,
// and writing the result file.
class RequestModeFaults : public FaultInjection {
 protected:
  std::string requestPath() const { return m_dir / "caller/request.json"; }
  std::string resultPath() const { return m_dir / "caller/result.json"; }

  struct Outcome {
    int status;
    std::string stderrText;
  };

  Outcome run(FileSystem& fs) {
    const std::string capture = m_dir / "stderr.txt";
    int status = 0;
    {
      testing::StderrToFile redirect(capture);
      status = runRequestMode(requestPath(), resultPath(), fs);
    }
    Outcome outcome{status, readFile(capture)};
    fs::remove(capture);
    return outcome;
  }

  // Call counts of each operation at the moment request mode starts writing its result file.
  std::map<FsOp, std::size_t> countsWhenTheResultIsWritten() {
    std::map<FsOp, std::size_t> counts, atResult;
    bool committed = false;
    FaultyFileSystem recorder;
    recorder.before = [&](FsOp op, const std::string& path) {
      // Before the batch, where the result goes is found, its folder opened and held, and made
      // sure to lead to none of the photos; saving it starts with its temporary file, once the
      // batch is committed.
      if (op == FsOp::openDirectory && path == destination() && m_beforeBatch.empty()) {
        m_beforeBatch = counts;
      }
      if (op == FsOp::renameNoReplaceAt) committed = true;
      if (committed && atResult.empty() &&
          (path == resultPath() || path.starts_with(m_dir / "caller/.result.json.tmp-"))) {
        atResult = counts;
      }
      ++counts[op];
    };
    EXPECT_EQ(run(recorder).status, 0);
    m_callCounts = counts;
    return atResult;
  }

  std::map<FsOp, std::size_t> m_callCounts;
  std::map<FsOp, std::size_t> m_beforeBatch;  // calls made before the batch starts
};

constexpr const char* kEarlierResult = R"({"count":7,"directory":"/an/earlier/batch"})";
constexpr const char* kUnsavedLine = "无法保存导出结果。\n";

TEST_F(RequestModeFaults, EveryCallFailsIntoAResultFileOrStatusTwoAndLeavesTheRestAsItWas) {
  const BatchRequest request = testing::smallRequest(inputs(), destination(), 5);
  writeFile(requestPath(), toJson(request));
  writeFile(resultPath(), kEarlierResult);
  const auto resultStarts = countsWhenTheResultIsWritten();
  emptyDestination();
  writeFile(resultPath(), kEarlierResult);
  const auto before = snapshot(m_dir.path());
  const int descriptors = testing::openDescriptorCount();

  int batchFailures = 0, resultFailures = 0, savedDespiteFailure = 0;
  for (const auto& [op, count] : m_callCounts) {
    for (std::size_t k = 1; k <= count; ++k) {
      SCOPED_TRACE(std::string(testing::name(op)) + " #" + std::to_string(k));
      FaultyFileSystem faulty(op, k);
      const Outcome outcome = run(faulty);
      ASSERT_TRUE(faulty.fired());
      const auto start = resultStarts.find(op);
      const bool whileWritingTheResult = k > (start == resultStarts.end() ? 0 : start->second);
      const auto beforeBatch = m_beforeBatch.find(op);
      const bool beforeTheBatch =
          k <= (beforeBatch == m_beforeBatch.end() ? 0 : beforeBatch->second);
      if (!whileWritingTheResult && outcome.status == 0) {
        // Only the flushes of the destination and its parent after the commit (and the opening of
        // that parent, the last folder opened before the result) may fail without failing the
        // batch (it was saved and stays), a look at where the result goes before the batch, which
        // leaves the question to writing the result, and the clearing of what dead batches left
        // (these calls are counted without their paths; before the result, the batch's own
        // clearing is all that lists a folder or takes a lock).
        ++savedDespiteFailure;
        const bool clearing = op == FsOp::tryLock || op == FsOp::listEntries;
        const bool afterTheCommit =
            op == FsOp::sync ||
            (op == FsOp::openDirectory && start != resultStarts.end() && k == start->second);
        // The owner record beside the staging folder, taken away once the folder has its own
        // (the batch's first removal) and after the commit (its last).
        const bool recordBeside = op == FsOp::removeFileAt &&
                                  (k == 1 || (start != resultStarts.end() && k == start->second));
        EXPECT_TRUE(afterTheCommit || (beforeTheBatch && op != FsOp::read) || clearing ||
                    recordBeside)
            << testing::name(op);
        EXPECT_EQ(testing::incompleteBatchesIn(destination(), request.items.size()), "");
        emptyDestination();
        writeFile(resultPath(), kEarlierResult);
      } else if (!whileWritingTheResult) {
        ++batchFailures;
        // The batch failed: the result file says why, and nothing else changed.
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.stderrText, "");
        const auto result = nlohmann::json::parse(readFile(resultPath()));
        EXPECT_EQ(result.size(), 2u);
        EXPECT_EQ(result["count"], 0);
        const std::string error = result["error"];
        const bool refusal =
            ((op == FsOp::openDirectory || op == FsOp::statusOfFile || op == FsOp::status) &&
             error == kChooseFolderAgainMessage) ||
            ((op == FsOp::readAt || op == FsOp::statusOfFile || op == FsOp::openForReading) &&
             error == kNotAnAcceptedImageMessage);
        if (!refusal) {
          EXPECT_EQ(error.rfind("无法对“", 0), 0u) << error;
          EXPECT_NE(error.find(std::string("”执行 injected ") + testing::name(op) + "："),
                    std::string::npos)
              << error;
          EXPECT_TRUE(error.ends_with(kIoError)) << error;
        }
        writeFile(resultPath(), kEarlierResult);
      } else {
        ++resultFailures;
        // The batch was saved, its result was not: status 2, the one line, and the earlier result
        // file as it was. Should the result file already have replaced the earlier one when the
        // failure came, it is a complete result and the status must say so.
        const std::string result = readFile(resultPath());
        if (outcome.status == 2) {
          EXPECT_EQ(outcome.stderrText, kUnsavedLine);
          EXPECT_EQ(result, kEarlierResult) << "status 2, yet the earlier result file was replaced";
        } else {
          EXPECT_EQ(outcome.status, 0);
          EXPECT_EQ(outcome.stderrText, "");
          EXPECT_TRUE(nlohmann::json::parse(result).contains("directory")) << result;
        }
        EXPECT_EQ(testing::incompleteBatchesIn(destination(), request.items.size()), "");
        emptyDestination();
        writeFile(resultPath(), kEarlierResult);
      }
      ASSERT_EQ(snapshot(m_dir.path()), before);
    }
  }
  EXPECT_EQ(testing::openDescriptorCount(), descriptors);
  EXPECT_GT(batchFailures, 80);  // a batch of five small pairs makes about 90 calls
  // The flushes of the destination and its parent after the commit and the opening of that
  // parent, each look at where the result goes (its path, its links, each photo) made before the
  // batch to keep the result off the photos, and the clearing of leftovers (listing the
  // destination, its lock, the lock on the batch's own staging).
  EXPECT_GE(savedDespiteFailure, 3);
  // ... plus, for the result, the opening of its folder and the looks at its name and its links,
  // and the two removals of the owner record beside the staging folder.
  EXPECT_LE(savedDespiteFailure, 3 + 4 + 2 * static_cast<int>(request.items.size()) + 3 + 3 + 2);
  // Its folder is found and opened before the batch; after it: create, write, flush, the last
  // look at the name, rename, flush the folder.
  EXPECT_GE(resultFailures, 6);
}

// Found by the loop above: the result file's folder is flushed after the rename, so a failure
// there used to answer "not saved" (status 2) although the new result had already replaced the
// earlier one. The caller then trusts neither, while the result file in fact describes the batch.
TEST_F(RequestModeFaults,
       AFolderFlushFailingAfterTheResultReplacedTheEarlierOneIsNotReportedUnsaved) {
  const BatchRequest request = testing::smallRequest(inputs(), destination(), 1);
  writeFile(requestPath(), toJson(request));
  writeFile(resultPath(), kEarlierResult);
  countsWhenTheResultIsWritten();
  // The result's folder is opened before the batch and held; the last flush is that folder's.
  for (const FsOp op : {FsOp::sync}) {
    SCOPED_TRACE(testing::name(op));
    emptyDestination();
    writeFile(resultPath(), kEarlierResult);
    FaultyFileSystem faulty(op, static_cast<int>(m_callCounts.at(op)));
    const Outcome outcome = run(faulty);
    ASSERT_TRUE(faulty.fired());
    const std::string result = readFile(resultPath());
    if (outcome.status == 2) {
      EXPECT_EQ(result, kEarlierResult) << "status 2, yet the earlier result file was replaced";
    } else {
      EXPECT_EQ(outcome.status, 0);
      EXPECT_TRUE(nlohmann::json::parse(result).contains("directory")) << result;
    }
  }
}

}  // namespace
}  // namespace quillmere
