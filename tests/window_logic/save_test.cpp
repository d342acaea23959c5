#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <tuple>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <stop_token>
#include <string>
#include <vector>

#include "inspect/admission.h"
#include "inspect/digest.h"
#include "support/faulty_file_system.h"
#include "support/temp_dir.h"
#include "transfer/create_batch.h"
#include "window_logic/bridge_app.h"
#include "window_fixture.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using testing::FakeToolkit;
using testing::FaultyFileSystem;
using testing::FsOp;
using testing::readFile;
using testing::snapshot;
using testing::WindowTest;
using testing::writeFile;
using Strings = std::vector<std::string>;
using Progress = FakeToolkit::Progress;

constexpr const char* kBusy = "正在准备照片，请稍候…";
constexpr const char* kFailed = "保存未完成，保存文件夹没有改动。请按提示处理后再试。";
constexpr const char* kCancelling = "正在停止保存，未完成的内容将被删除，请稍候…";

std::string savedMessage(int count) {
  return "已保存 " + std::to_string(count) +
         " 张。打开 Quillmere 项目，选择“调色版本”→“导入调色结果”，再选择刚生成的文件夹。"
         "旧版客户端也可用“导入照片”作为独立照片导入。";
}

// A window whose batches run through `runner`, which the tests script.
class SaveTest : public WindowTest {
 protected:
  SaveTest() {
    m_app = std::make_unique<BridgeApp>(
        m_toolkit, [this](const BatchRequest& request, const BatchObserver& observer) {
          {
            std::lock_guard lock(m_requestsMutex);
            m_requests.push_back(request);
          }
          return runner(request, observer);
        });
    fs::create_directory(destination());
  }

  std::string destination() const { return m_dir / "out"; }

  // `count` listed renders, each paired with an original of its own.
  Strings pairedRenders(int count) {
    const Strings list = renders(count);
    m_app->append(list);
    for (int i = 0; i < count; ++i) {
      const std::string index = std::to_string(i);
      pair(i, file(index + ".iiq", "original " + index));
    }
    return list;
  }

  // Presses the save button and confirms `folder` in the destination panel. A destination is
  // checked when it is chosen, so the folder is made first when it does not exist.
  void save(const std::string& folder) {
    fs::create_directories(folder);
    m_toolkit.panelAnswers.push_back(Strings{folder});
    m_app->save();
  }

  BatchRunner runner = [](const BatchRequest& request, const BatchObserver&) {
    return BatchResult{request.destination + "/Quillmere-batch",
                       static_cast<std::int64_t>(request.items.size()), std::nullopt};
  };
  std::mutex m_requestsMutex;
  std::vector<BatchRequest> m_requests;
};

// --- the request

TEST_F(SaveTest, EachRenderIsPairedWithTheDigestOfItsOriginalsPathInListOrder) {
  const Strings list = renders(3);
  m_app->append(list);
  const auto shared = m_dir / "DSC_0001.ARW";
  const auto other = m_dir / "DSC_0002.ARW";
  pair(0, shared);
  pair(1, other);
  pair(2, shared);

  const BatchRequest request = m_app->batchRequest("/photos/out");

  EXPECT_EQ(request.provider, "CAPTURE_ONE");
  EXPECT_EQ(request.catalogId, "quillmere-manual-capture-one-v1");
  EXPECT_EQ(request.destination, "/photos/out");
  const std::string sharedId = digest(shared);
  EXPECT_TRUE(std::regex_match(sharedId, std::regex("[0-9a-f]{64}")));
  EXPECT_EQ(request.items, (std::vector<Pair>{{shared, list[0], sharedId, sharedId},
                                              {other, list[1], digest(other), digest(other)},
                                              {shared, list[2], sharedId, sharedId}}));
}

TEST_F(SaveTest, TheDestinationPanelChoosesOrCreatesAFolder) {
  pairedRenders(1);
  m_toolkit.panelAnswers.push_back(std::nullopt);
  m_app->save();
  const OpenPanel& panel = m_toolkit.panels.back();
  EXPECT_TRUE(panel.chooseFolders);
  EXPECT_TRUE(panel.canCreateFolders);
  EXPECT_FALSE(panel.multipleSelection);
  EXPECT_EQ(panel.message, "选择保存位置；每次都会新建文件夹，不覆盖已有照片。");
}

TEST_F(SaveTest, CancellingOrConfirmingNoFolderChangesNothing) {
  pairedRenders(2);
  m_toolkit.message = "before";
  m_toolkit.panelAnswers = {std::nullopt, Strings{}};
  m_app->save();
  m_app->save();
  EXPECT_TRUE(m_toolkit.saveEnabled);
  EXPECT_EQ(m_toolkit.message, "before");
  EXPECT_EQ(m_toolkit.pendingJobs(), 0u);
  EXPECT_EQ(m_toolkit.progress, Progress::hidden);
}

TEST_F(SaveTest, AListThatGainedAnUnpairedRenderMeanwhileIsNotSaved) {
  pairedRenders(2);
  m_toolkit.message = "before";
  m_toolkit.onPanel = [&] { m_app->append({render("late.png", 9)}); };
  save(destination());
  EXPECT_EQ(m_toolkit.pendingJobs(), 0u);
  EXPECT_FALSE(m_toolkit.saveEnabled);
  // The render added meanwhile retired the last pairing's message; no save is said to run.
  EXPECT_EQ(m_toolkit.message,
            "从 Capture One 导出 JPEG、TIFF 或 PNG 后，在这里选择对应的原照片。"
            "原照片只用于确认对应关系，不会被修改。");
  EXPECT_TRUE(m_toolkit.alerts.empty());
}

// --- reports

TEST_F(SaveTest, ASuccessfulSaveReportsTheCountShowsTheFolderAndKeepsTheList) {
  const Strings list = pairedRenders(3);
  const auto originals = m_app->originals();
  save(destination());

  EXPECT_FALSE(m_toolkit.saveEnabled);
  EXPECT_EQ(m_toolkit.message, kBusy);
  EXPECT_EQ(m_toolkit.progress, Progress::busy);
  ASSERT_EQ(m_toolkit.pendingJobs(), 1u);
  m_toolkit.runJob();
  EXPECT_EQ(m_toolkit.message, kBusy) << "nothing reaches the window from the job itself";
  m_toolkit.drain();

  EXPECT_EQ(m_toolkit.message, savedMessage(3));
  EXPECT_EQ(m_toolkit.shownFolders, (Strings{destination() + "/Quillmere-batch"}));
  EXPECT_EQ(m_toolkit.messageDetail, destination() + "/Quillmere-batch")
      << "the new folder's path stays at hand when no file manager comes forward";
  EXPECT_TRUE(m_toolkit.saveEnabled);
  EXPECT_EQ(m_toolkit.progress, Progress::hidden);
  EXPECT_EQ(m_app->renders(), list);
  EXPECT_EQ(m_app->originals(), originals);
  EXPECT_TRUE(m_toolkit.alerts.empty());
}

TEST_F(SaveTest, TheBatchWorksOnItsOwnCopyOfTheList) {
  pairedRenders(2);
  const BatchRequest expected = m_app->batchRequest(destination());
  save(destination());
  m_app->append({render("late.png", 7)});
  pair(0, m_dir / "another.iiq");
  m_toolkit.runJob();
  ASSERT_EQ(m_requests.size(), 1u);
  EXPECT_EQ(m_requests[0], expected);
}

TEST_F(SaveTest, AFailedSaveShowsTheFailureAndSaysSoOnTheMessageLineUntilTheNextSave) {
  pairedRenders(2);
  runner = [](const BatchRequest&, const BatchObserver&) -> BatchResult {
    throw BridgeFailure("请重新选择保存文件夹。");
  };
  bool enabledDuringAlert = true;
  std::string messageDuringAlert;
  m_toolkit.onAlert = [&](const std::string&) {
    enabledDuringAlert = m_toolkit.saveEnabled;
    messageDuringAlert = m_toolkit.message;
  };
  save(destination());
  m_toolkit.runJob();
  m_toolkit.drain();

  EXPECT_EQ(m_toolkit.alerts, (Strings{"请重新选择保存文件夹。"}));
  EXPECT_FALSE(enabledDuringAlert) << "refresh comes after the alert is dismissed";
  EXPECT_EQ(messageDuringAlert, kFailed) << "the line behind the alert no longer says busy";
  EXPECT_TRUE(m_toolkit.saveEnabled);
  EXPECT_EQ(m_toolkit.message, kFailed);
  EXPECT_TRUE(m_toolkit.shownFolders.empty());
  EXPECT_EQ(m_toolkit.progress, Progress::hidden);
  // The next save says it is working again.
  save(destination());
  EXPECT_EQ(m_toolkit.message, kBusy);
}

TEST_F(SaveTest, TwoSavesRunIndependentlyAndReportInTheOrderTheyEnd) {
  pairedRenders(2);
  save(m_dir / "first");
  m_app->append({render("third.png", 3)});
  pair(2, m_dir / "o2.iiq");
  save(m_dir / "second");
  ASSERT_EQ(m_toolkit.pendingJobs(), 2u);

  // Both report the folder and count of their own request; the first is held back.
  std::promise<void> firstMayEnd;
  auto firstEnds = firstMayEnd.get_future().share();
  const BatchRunner plain = runner;
  runner = [&, plain](const BatchRequest& request, const BatchObserver& observer) {
    if (request.destination == m_dir / "first") firstEnds.wait();
    return plain(request, observer);
  };
  m_toolkit.startJob();  // the first save, held back
  m_toolkit.startJob();  // the second save
  ASSERT_TRUE(m_toolkit.waitForBlocks(1));
  m_toolkit.drain();
  EXPECT_EQ(m_toolkit.message, savedMessage(3));
  EXPECT_EQ(m_toolkit.progress, Progress::busy) << "the first save is still running";

  firstMayEnd.set_value();
  m_toolkit.joinJobs();
  m_toolkit.drain();
  EXPECT_EQ(m_toolkit.message, savedMessage(2));
  EXPECT_EQ(m_toolkit.shownFolders,
            (Strings{m_dir / "second/Quillmere-batch", m_dir / "first/Quillmere-batch"}));
  EXPECT_EQ(m_toolkit.progress, Progress::hidden);
}

TEST_F(SaveTest, TheProgressBarAddsUpTheBytesOfEveryRunningSave) {
  pairedRenders(1);
  // Each batch reports its progress, then waits until the test lets it end.
  std::promise<void> mayEnd;
  auto ends = mayEnd.get_future().share();
  runner = [&](const BatchRequest& request, const BatchObserver& observer) {
    const bool first = request.destination == m_dir / "first";
    observer.progress({0, 1, 0, first ? 100u : 300u});
    observer.progress({0, 1, first ? 30u : 50u, first ? 100u : 300u});
    ends.wait();
    return BatchResult{request.destination, 1, std::nullopt};
  };
  save(m_dir / "first");
  m_toolkit.startJob();
  ASSERT_TRUE(m_toolkit.waitForBlocks(2));
  m_toolkit.drain();
  EXPECT_EQ(m_toolkit.progress, Progress::amount);
  EXPECT_EQ(m_toolkit.progressDone, 30u);
  EXPECT_EQ(m_toolkit.progressTotal, 100u);

  save(m_dir / "second");
  m_toolkit.startJob();
  ASSERT_TRUE(m_toolkit.waitForBlocks(2));
  m_toolkit.drain();
  EXPECT_EQ(m_toolkit.progressDone, 80u);
  EXPECT_EQ(m_toolkit.progressTotal, 400u);

  mayEnd.set_value();
  m_toolkit.joinJobs();
  m_toolkit.drain();
  EXPECT_EQ(m_toolkit.progress, Progress::hidden);
}

// --- quitting and ending

TEST_F(SaveTest, QuittingDuringASaveStopsItAndEndsOnlyAfterItsRollBack) {
  pairedRenders(1);
  EXPECT_TRUE(m_app->requestQuit()) << "nothing running: quit at once";
  runner = [](const BatchRequest&, const BatchObserver& observer) -> BatchResult {
    std::mutex mutex;
    std::condition_variable_any stopped;
    std::unique_lock lock(mutex);
    stopped.wait(lock, observer.stop, [] { return false; });
    throw Stopped(kBatchStoppedMessage);
  };
  save(destination());
  m_toolkit.startJob();

  // Ctrl+Q during a save asks first; letting it go on changes nothing.
  const std::string busy = m_toolkit.message;
  m_toolkit.stopAnswers = {false, true};
  EXPECT_FALSE(m_app->requestQuit());
  EXPECT_EQ(m_toolkit.stopQuestions, 1);
  EXPECT_FALSE(m_app->quitting());
  EXPECT_EQ(m_toolkit.message, busy);
  EXPECT_EQ(m_toolkit.quits, 0);
  // Asked again, the answer is to stop.
  EXPECT_FALSE(m_app->requestQuit());
  EXPECT_EQ(m_toolkit.stopQuestions, 2);
  EXPECT_TRUE(m_app->quitting());
  EXPECT_EQ(m_toolkit.progress, Progress::busy);
  EXPECT_EQ(m_toolkit.message, kCancelling) << "the user sees why the window stays";
  EXPECT_FALSE(m_app->requestQuit()) << "asking again while it rolls back changes nothing";
  EXPECT_EQ(m_toolkit.stopQuestions, 2) << "and asks nothing";
  ASSERT_TRUE(m_toolkit.waitForBlocks(1));
  EXPECT_EQ(m_toolkit.quits, 0);
  m_toolkit.drain();

  EXPECT_EQ(m_toolkit.quits, 1);
  EXPECT_TRUE(m_toolkit.alerts.empty()) << "the user asked to quit; nothing is shown";
  EXPECT_EQ(m_toolkit.message, kCancelling);
}

// The quit question and the save share one state: whatever the save has become by the time the
// user answers (still running, saved, failed, stopped), an answer to quit ends the application at
// once or once the rollback has reported, an answer to stay keeps the window, and the window says
// what happened, never that a published batch will be removed.
enum class Outcome { running, saved, failed, stopped };

class QuitQuestionTest : public SaveTest,
                         public ::testing::WithParamInterface<std::tuple<Outcome, bool>> {};

TEST_P(QuitQuestionTest, TheAnswerAndTheSavesOutcomeAgree) {
  const Outcome outcome = std::get<0>(GetParam());
  const bool answerQuit = std::get<1>(GetParam());
  const Strings list = pairedRenders(1);
  std::mutex mutex;
  std::condition_variable_any released;
  bool release = false;
  // The save ends as `outcome` says once released; stopped by the window, it rolls back.
  const Outcome ending = outcome == Outcome::running ? Outcome::saved : outcome;
  runner = [&](const BatchRequest& request, const BatchObserver& observer) -> BatchResult {
    {
      std::unique_lock lock(mutex);
      released.wait(lock, observer.stop, [&] { return release; });
    }
    if (observer.stop.stop_requested()) throw Stopped(kBatchStoppedMessage);
    switch (ending) {
      case Outcome::failed:
        observer.failed(BatchFailureSite{0, BatchSubject::render});
        throw BridgeFailure("磁盘已满");
      case Outcome::stopped:
        throw Stopped(kBatchStoppedMessage);
      default:
        return BatchResult{request.destination + "/Quillmere-batch", 1, std::nullopt};
    }
  };
  const auto finish = [&] {
    {
      std::lock_guard lock(mutex);
      release = true;
    }
    released.notify_all();
    m_toolkit.joinJobs();
    m_toolkit.drain();
  };
  save(destination());
  m_toolkit.startJob();

  std::string messageWhileAsked;
  m_toolkit.stopAnswers = {answerQuit};
  m_toolkit.onQuitQuestion = [&] {
    if (outcome == Outcome::running) return;
    // The save ends while the question is open.
    finish();
    messageWhileAsked = m_toolkit.message;
  };
  const bool mayEnd = m_app->requestQuit();
  m_toolkit.onQuitQuestion = nullptr;
  const int quitsAfterAnswer = m_toolkit.quits;

  // The question, and what it turned into once the save had ended.
  ASSERT_FALSE(m_toolkit.quitQuestions.empty());
  EXPECT_EQ(m_toolkit.quitQuestions.front().text,
            "照片正在保存。停止保存并退出吗？停止后已写入的内容将被删除。");
  EXPECT_EQ(m_toolkit.quitQuestions.front().quit, "停止并退出");
  EXPECT_EQ(m_toolkit.quitQuestions.front().stay, "继续保存");
  const std::map<Outcome, std::string> endedQuestion{
      {Outcome::saved, "已保存 1 张照片。\n现在退出吗？"},
      {Outcome::failed, "保存未完成，保存文件夹没有改动：\n磁盘已满\n" + list[0] + "\n现在退出吗？"},
      {Outcome::stopped, "保存已取消，未写入任何文件。\n现在退出吗？"}};
  if (outcome == Outcome::running) {
    EXPECT_EQ(m_toolkit.quitQuestions.size(), 1u) << "nothing has changed";
  } else {
    ASSERT_EQ(m_toolkit.quitQuestions.size(), 2u);
    EXPECT_EQ(m_toolkit.quitQuestions.back().text, endedQuestion.at(outcome));
    EXPECT_EQ(m_toolkit.quitQuestions.back().quit, "退出");
    EXPECT_EQ(m_toolkit.quitQuestions.back().stay, "暂不退出");
    // Behind the question, the message line already says how the save ended.
    EXPECT_EQ(messageWhileAsked, outcome == Outcome::saved ? savedMessage(1) : kFailed);
  }

  if (answerQuit) {
    if (outcome == Outcome::running) {
      // Stopping a running save: the window waits for its rollback, then ends.
      EXPECT_FALSE(mayEnd);
      EXPECT_TRUE(m_app->quitting());
      EXPECT_EQ(m_toolkit.message, kCancelling);
      ASSERT_TRUE(m_toolkit.waitForBlocks(1));
      m_toolkit.joinJobs();
      m_toolkit.drain();
      EXPECT_EQ(m_toolkit.quits, 1);
    } else {
      // Nothing left to stop or wait for: the application may end now.
      EXPECT_TRUE(mayEnd);
      EXPECT_EQ(quitsAfterAnswer, 0) << "the window closes itself, which ends the application";
      EXPECT_EQ(m_toolkit.message.find("删除"), std::string::npos) << m_toolkit.message;
    }
  } else {
    EXPECT_FALSE(mayEnd);
    EXPECT_FALSE(m_app->quitting());
    EXPECT_EQ(m_toolkit.quits, 0);
    if (outcome == Outcome::running) finish();
    EXPECT_EQ(m_toolkit.message, ending == Outcome::saved ? savedMessage(1) : kFailed);
    // A failure's alert was the question; its row is marked as after any failed save.
    EXPECT_EQ(m_app->rowFault(0), ending == Outcome::failed
                                      ? std::optional<std::string>("磁盘已满\n" + list[0])
                                      : std::nullopt);
    EXPECT_TRUE(m_app->requestQuit()) << "nothing runs any more: the next quit asks nothing";
  }
  EXPECT_TRUE(m_toolkit.alerts.empty()) << m_toolkit.alerts.front();
  // A saved batch's folder comes forward, once the question is out of the way.
  const bool stoppedByTheAnswer = answerQuit && outcome == Outcome::running;
  EXPECT_EQ(m_toolkit.shownFolders.size(),
            ending == Outcome::saved && !stoppedByTheAnswer ? 1u : 0u);
  if (!stoppedByTheAnswer) {
    EXPECT_EQ(m_toolkit.progress, Progress::hidden);
  }
}

INSTANTIATE_TEST_SUITE_P(EveryAnswerAndOutcome, QuitQuestionTest,
                         ::testing::Combine(::testing::Values(Outcome::running, Outcome::saved,
                                                              Outcome::failed, Outcome::stopped),
                                            ::testing::Bool()));

TEST_F(SaveTest, ReportsArrivingAfterTheWindowIsGoneAreDropped) {
  pairedRenders(1);
  std::promise<bool> stopSeen;
  runner = [&](const BatchRequest& request, const BatchObserver& observer) {
    observer.progress({0, 1, 0, 10});
    stopSeen.set_value(observer.stop.stop_requested());
    return BatchResult{request.destination, 1, std::nullopt};
  };
  save(destination());
  m_app.reset();
  m_toolkit.runJob();
  EXPECT_TRUE(stopSeen.get_future().get()) << "a BridgeApp that goes away stops its saves";
  m_toolkit.message = "unchanged";
  EXPECT_EQ(m_toolkit.drain(), 2u);
  EXPECT_EQ(m_toolkit.message, "unchanged");
  EXPECT_TRUE(m_toolkit.shownFolders.empty());
}

// --- with the real batch

// A window whose batches are the real createBatch on a file system that the test can make fail.
class RealSaveTest : public SaveTest {
 protected:
  RealSaveTest() {
    runner = [this](const BatchRequest& request, const BatchObserver& observer) {
      return createBatch(request, m_fs, &observer);
    };
  }
  FaultyFileSystem m_fs;
};

TEST_F(RealSaveTest, SavingTwiceMakesTwoBatchFoldersAndTheManifestCarriesTheDigests) {
  const Strings list = pairedRenders(2);
  for (int round = 0; round < 2; ++round) {
    save(destination());
    m_toolkit.startJob();
    m_toolkit.joinJobs();
    m_toolkit.drain();
    ASSERT_TRUE(m_toolkit.alerts.empty()) << m_toolkit.alerts.front();
    EXPECT_EQ(m_toolkit.message, savedMessage(2));
    EXPECT_TRUE(m_toolkit.saveEnabled);
  }
  ASSERT_EQ(m_toolkit.shownFolders.size(), 2u);
  EXPECT_NE(m_toolkit.shownFolders[0], m_toolkit.shownFolders[1]);
  for (const auto& folder : m_toolkit.shownFolders) {
    SCOPED_TRACE(folder);
    EXPECT_EQ(fs::path(folder).parent_path(), fs::path(destination()));
    EXPECT_TRUE(fs::path(folder).filename().string().starts_with("Quillmere-"));
    const auto manifest = nlohmann::json::parse(readFile(folder + "/.quillmere-manifest.json"));
    ASSERT_EQ(manifest["items"].size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
      const std::string id = digest(m_app->originals().at(list[i]));
      EXPECT_EQ(manifest["items"][i]["externalPhotoId"], id);
      EXPECT_EQ(manifest["items"][i]["externalVariantId"], id);
    }
  }
  EXPECT_EQ(m_app->renders(), list);
}

TEST_F(RealSaveTest, ADestinationThatDisappearedIsReportedWithoutAFileName) {
  pairedRenders(2);
  save(destination());
  fs::remove(destination());
  m_toolkit.runJob();
  m_toolkit.drain();
  EXPECT_EQ(m_toolkit.alerts, (Strings{"请重新选择保存文件夹。"}));
  EXPECT_EQ(m_toolkit.message, kFailed);
}

// The file a failed save names on the alert's second line: the one createBatch reports at fault,
// or none at all.
TEST_F(SaveTest, AFailedSaveNamesTheFileTheBatchReportsAtFault) {
  const Strings list = pairedRenders(3);
  const std::string original1 = m_app->originals().at(list[1]);
  const struct {
    const char* name;
    std::optional<BatchFailureSite> site;
    std::string expectSecondLine;  // empty: the failure's text stands alone
  } cases[] = {
      {"the render of pair 1", BatchFailureSite{1, BatchSubject::render}, list[1]},
      {"the original of pair 1", BatchFailureSite{1, BatchSubject::original}, original1},
      {"pair 1, neither file", BatchFailureSite{1, BatchSubject::none}, ""},
      {"the batch as a whole", BatchFailureSite{std::nullopt, BatchSubject::none}, ""},
      {"a pair beyond the request", BatchFailureSite{7, BatchSubject::render}, ""},
      {"a stored copy the disk did not hold",
       BatchFailureSite{1, BatchSubject::none, "/out/Quillmere-1/2.jpg"}, "/out/Quillmere-1/2.jpg"},
      {"no site reported", std::nullopt, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    runner = [&](const BatchRequest&, const BatchObserver& observer) -> BatchResult {
      if (c.site) observer.failed(*c.site);
      // The batch's own text says "GB"; the window names the binary limit as it is.
      throw PhotoNotAdmitted();
    };
    m_toolkit.alerts.clear();
    save(destination());
    m_toolkit.runJob();
    m_toolkit.drain();
    const std::string expected = c.expectSecondLine.empty()
                                     ? "照片不可读取、为空或大于 4 GiB。"
                                     : "照片不可读取、为空或大于 4 GiB。\n" + c.expectSecondLine;
    EXPECT_EQ(m_toolkit.alerts, (Strings{expected}));
  }
}

// The same with the real batch, which reports where it failed.
TEST_F(RealSaveTest, AFailedSaveNamesTheFileAtFault) {
  const Strings list = pairedRenders(3);
  const std::string original1 = m_app->originals().at(list[1]);
  const std::string original2 = m_app->originals().at(list[2]);
  const auto restore = [&] {
    fs::remove_all(original1);
    writeFile(list[1], testing::pngImage(4, 3));
    writeFile(original1, "original 1");
    writeFile(original2, "original 2");
  };
  const struct {
    const char* name;
    std::optional<std::pair<FsOp, int>> fault;
    std::function<void(FaultyFileSystem&)> arrange;
    std::string expectFile;  // empty: the alert is the failure's text alone
  } cases[] = {
      {"the render is gone", std::nullopt, [&](FaultyFileSystem&) { fs::remove(list[1]); },
       list[1]},
      {"the render is empty", std::nullopt, [&](FaultyFileSystem&) { writeFile(list[1], ""); },
       list[1]},
      {"the original is gone", std::nullopt, [&](FaultyFileSystem&) { fs::remove(original1); },
       original1},
      {"the original is empty", std::nullopt, [&](FaultyFileSystem&) { writeFile(original1, ""); },
       original1},
      {"the original is a folder", std::nullopt,
       [&](FaultyFileSystem&) {
         fs::remove(original1);
         fs::create_directory(original1);
       },
       original1},
      {"the last original changes after it was hashed", std::nullopt,
       [&](FaultyFileSystem& fsys) {
         int opens = 0;
         fsys.before = [&, opens](FsOp op, const std::string& path) mutable {
           if (op == FsOp::openForReading && path == original2 && ++opens == 2) {
             writeFile(original2, "edited meanwhile");
           }
         };
       },
       original2},
      {"the staging folder cannot be made", std::pair{FsOp::createDirectoryAt, 1},
       [](FaultyFileSystem&) {}, ""},
      {"the commit fails", std::pair{FsOp::renameNoReplaceAt, 1}, [](FaultyFileSystem&) {}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir out;
    const auto before = snapshot(out.path());
    auto faulty = c.fault ? std::make_unique<FaultyFileSystem>(c.fault->first, c.fault->second)
                          : std::make_unique<FaultyFileSystem>();
    c.arrange(*faulty);
    runner = [&](const BatchRequest& request, const BatchObserver& observer) {
      return createBatch(request, *faulty, &observer);
    };
    m_toolkit.alerts.clear();
    save(out.path());
    m_toolkit.runJob();
    m_toolkit.drain();

    ASSERT_EQ(m_toolkit.alerts.size(), 1u);
    const std::string& alert = m_toolkit.alerts[0];
    const auto newline = alert.find('\n');
    if (c.expectFile.empty()) {
      EXPECT_EQ(newline, std::string::npos) << alert;
    } else {
      ASSERT_NE(newline, std::string::npos) << alert;
      EXPECT_EQ(alert.substr(newline + 1), c.expectFile);
    }
    EXPECT_EQ(snapshot(out.path()), before) << "a failed save leaves the destination as it was";
    restore();
  }
}

TEST_F(RealSaveTest, AMissingRendersAlertCarriesTheChineseDescriptionAndItsPath) {
  const Strings list = pairedRenders(2);
  fs::remove(list[1]);
  save(destination());
  m_toolkit.runJob();
  m_toolkit.drain();
  EXPECT_EQ(m_toolkit.alerts,
            (Strings{"无法检查“" + list[1] + "”：没有那个文件或目录（ENOENT）\n" + list[1]}));
}

TEST_F(RealSaveTest, QuittingBeforeTheBatchRunsRollsItBackThenEnds) {
  pairedRenders(2);
  const auto before = snapshot(destination());
  save(destination());
  EXPECT_FALSE(m_app->requestQuit());
  m_toolkit.runJob();
  EXPECT_EQ(m_toolkit.quits, 0);
  m_toolkit.drain();
  EXPECT_EQ(m_toolkit.quits, 1);
  EXPECT_TRUE(m_toolkit.alerts.empty());
  EXPECT_EQ(snapshot(destination()), before);
}

}  // namespace
}  // namespace quillmere
