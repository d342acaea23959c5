// Beyond the Parts: choices checked at the moment they are made, the pair at fault kept marked
// after a failed save, undoing a removal, and the figure of the progress bar.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "transfer/create_batch.h"
#include "window_logic/bridge_app.h"
#include "window_fixture.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using testing::WindowTest;
using testing::writeFile;
using Strings = std::vector<std::string>;

constexpr const char* kChooseAgain = "请重新选择保存文件夹。";

// --- the original, when it is chosen

TEST_F(WindowTest, AnOriginalThatCannotServeIsRefusedWhenChosenNamingIt) {
  const std::string a = render("DSC_1234.png");
  const std::string listedRender = render("DSC_9999.png", 1);
  m_app->append({a, listedRender});
  fs::create_directory(m_dir / "a folder.CR3");
  const std::string empty = file("empty.CR3", "");
  const std::string missing = m_dir / "gone/DSC_1234.CR3";
  const struct {
    const char* name;
    std::string original;
    std::string expectAlert;
  } cases[] = {
      {"nothing there", missing,
       "无法检查“" + missing + "”：没有那个文件或目录（ENOENT）\nDSC_1234.CR3"},
      {"an empty file", empty, "照片不可读取、为空或大于 4 GiB。\nempty.CR3"},
      {"a folder", m_dir / "a folder.CR3", "照片不可读取、为空或大于 4 GiB。\na folder.CR3"},
      {"one of the listed renders", listedRender,
       "这是列表中的导出照片，不能作为原照片；请选择 Quillmere 中导入的原照片。\nDSC_9999.png"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    m_toolkit.alerts.clear();
    m_toolkit.selected = 0;
    m_toolkit.panelAnswers.push_back(Strings{c.original});
    m_app->chooseOriginal();
    EXPECT_EQ(m_toolkit.alerts, (Strings{c.expectAlert}));
    EXPECT_FALSE(m_app->originals().contains(a)) << "no pairing";
    EXPECT_EQ(m_toolkit.selected, 0) << "the selection stays on the row still to pair";
  }
  if (::geteuid() != 0) {
    const std::string locked = file("locked.CR3", "raw");
    ::chmod(locked.c_str(), 0);
    m_toolkit.alerts.clear();
    m_toolkit.panelAnswers.push_back(Strings{locked});
    m_app->chooseOriginal();
    EXPECT_EQ(m_toolkit.alerts,
              (Strings{"无法打开“" + locked + "”：没有访问权限（EACCES）\nlocked.CR3"}));
    EXPECT_FALSE(m_app->originals().contains(a));
  }
}

TEST_F(WindowTest, OriginalsChosenTogetherAreCheckedOneByOne) {
  const std::string a = render("DSC_1.png");
  const std::string b = render("DSC_2.png", 1);
  m_app->append({a, b});
  const std::string good = file("DSC_1.CR3", "raw");
  const std::string empty = file("DSC_2.CR3", "");
  m_toolkit.selected = 0;
  m_toolkit.panelAnswers.push_back(Strings{good, empty});
  m_app->chooseOriginal();
  EXPECT_EQ(m_toolkit.alerts, (Strings{"照片不可读取、为空或大于 4 GiB。\nDSC_2.CR3"}));
  EXPECT_EQ(m_app->originals(), (std::map<std::string, std::string>{{a, good}}));
  EXPECT_EQ(m_toolkit.message, "已按文件名配对 1 张照片；还有 1 张尚未配对。");
  EXPECT_EQ(m_toolkit.selected, 1);
}

// --- the destination, when it is chosen

TEST_F(WindowTest, ADestinationThatCannotTakeABatchIsRefusedWhenChosenAndThePanelOpensAgain) {
  const std::string a = render("a.png");
  m_app->append({a});
  pair(0, file("a.CR3", "raw"));
  const std::string aFile = file("a file", "x");
  const std::string missing = m_dir / "gone";
  struct Case {
    std::string name;
    std::string folder;
    std::string expectFirstLine;
  };
  std::vector<Case> cases{
      // procfs's sysctl root may be read and searched but never written, not even by root.
      {"a folder nobody may write in", "/proc/sys", "无法写入“/proc/sys”：没有访问权限（EACCES）"},
      {"nothing there", missing, "无法检查“" + missing + "”：没有那个文件或目录（ENOENT）"},
      {"a file", aFile, "无法写入“" + aFile + "”：不是目录（ENOTDIR）"},
  };
  if (::geteuid() != 0) {
    for (const auto& [name, mode] : {std::pair{"read-only", 0555}, std::pair{"unsearchable", 0666},
                                     std::pair{"unreadable", 0333}}) {
      const std::string folder = m_dir / name;
      fs::create_directory(folder);
      ::chmod(folder.c_str(), static_cast<mode_t>(mode));
      cases.push_back({name, folder, "无法写入“" + folder + "”：没有访问权限（EACCES）"});
    }
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    m_toolkit.alerts.clear();
    m_toolkit.panels.clear();
    m_toolkit.panelAnswers.push_back(Strings{c.folder});
    m_toolkit.panelAnswers.push_back(std::nullopt);  // the panel again: cancelled
    m_app->save();
    EXPECT_EQ(m_toolkit.alerts, (Strings{c.expectFirstLine + "\n" + kChooseAgain}));
    ASSERT_EQ(m_toolkit.panels.size(), 2u) << "the panel opens again after the alert";
    EXPECT_EQ(m_toolkit.panels[1].folder, m_toolkit.panels[0].folder) << "where it opened";
    EXPECT_EQ(m_toolkit.pendingJobs(), 0u) << "nothing is saved";
    EXPECT_TRUE(m_toolkit.saveEnabled);
    EXPECT_FALSE(m_toolkit.folders.contains(PanelFolder::destination))
        << "a refused folder is not remembered";
  }
  // Chosen again, a good folder saves.
  fs::create_directory(m_dir / "out");
  m_toolkit.panelAnswers.push_back(Strings{"/proc/sys"});
  m_toolkit.panelAnswers.push_back(Strings{m_dir / "out"});
  m_app->save();
  EXPECT_EQ(m_toolkit.pendingJobs(), 1u);
  EXPECT_EQ(m_toolkit.folders[PanelFolder::destination], m_dir / "out");
}

TEST_F(WindowTest, AnEarlierBatchOrAFolderInsideItIsRefusedAndThePanelOpensBesideIt) {
  m_app->append({render("a.png")});
  pair(0, file("a.CR3", "raw"));
  const std::string out = m_dir / "out";
  const std::string batch = out + "/Quillmere-5e0f";
  fs::create_directories(batch + "/inner");
  writeFile(batch + "/.quillmere-manifest.json", "{}");
  for (const std::string& chosen : {batch, batch + "/inner"}) {
    SCOPED_TRACE(chosen);
    m_toolkit.alerts.clear();
    m_toolkit.panels.clear();
    m_toolkit.panelAnswers.push_back(Strings{chosen});
    m_toolkit.panelAnswers.push_back(std::nullopt);
    m_app->save();
    EXPECT_EQ(m_toolkit.alerts,
              (Strings{"所选的保存文件夹是已有的批次“" + batch +
                       "”或位于其中，保存到这里会损坏这个批次。请改选它所在的文件夹“" + out +
                       "”。"}));
    ASSERT_EQ(m_toolkit.panels.size(), 2u);
    EXPECT_EQ(m_toolkit.panels[1].folder, out) << "the panel opens where the batch sits";
    EXPECT_EQ(m_toolkit.pendingJobs(), 0u);
    EXPECT_FALSE(m_toolkit.folders.contains(PanelFolder::destination));
  }
  // The folder holding it is taken.
  m_toolkit.panelAnswers.push_back(Strings{out});
  m_app->save();
  EXPECT_EQ(m_toolkit.pendingJobs(), 1u);
}

// --- the pair at fault

class FaultTest : public WindowTest {
 protected:
  FaultTest() {
    m_app = std::make_unique<BridgeApp>(
        m_toolkit, [this](const BatchRequest&, const BatchObserver& observer) -> BatchResult {
          if (site) observer.failed(*site);
          throw BridgeFailure("照片在处理期间发生变化，请等导出完成后重试。");
        });
    m_list = renders(4);
    m_app->append(m_list);
    for (int i = 0; i < 4; ++i) pair(i, m_dir / std::string(1, static_cast<char>('a' + i)));
    fs::create_directory(m_dir / "out");
  }
  void failingSave() {
    m_toolkit.panelAnswers.push_back(Strings{m_dir / "out"});
    m_app->save();
    m_toolkit.runJob();
    m_toolkit.drain();
  }
  std::vector<std::optional<std::string>> faults() const {
    std::vector<std::optional<std::string>> all;
    for (std::size_t row = 0; row < m_app->rowCount(); ++row) all.push_back(m_app->rowFault(row));
    return all;
  }

  std::optional<BatchFailureSite> site;
  Strings m_list;
};

TEST_F(FaultTest, TheFailingRowIsSelectedAndMarkedWithTheAlertsText) {
  site = BatchFailureSite{2, BatchSubject::original};
  m_toolkit.selected = 0;
  int selectedDuringAlert = -2;
  m_toolkit.onAlert = [&](const std::string&) { selectedDuringAlert = m_toolkit.selected; };
  failingSave();
  const std::string text =
      "照片在处理期间发生变化，请等导出完成后重试。\n" + m_app->originals().at(m_list[2]);
  EXPECT_EQ(m_toolkit.alerts, (Strings{text}));
  EXPECT_EQ(selectedDuringAlert, 0) << "selected once the alert is dismissed";
  EXPECT_EQ(m_toolkit.selected, 2);
  EXPECT_EQ(faults(), (std::vector<std::optional<std::string>>{std::nullopt, std::nullopt, text,
                                                               std::nullopt}));

  // Other rows changing leave the mark; a change to that row takes it.
  m_app->append({render("late.png", 9)});
  pair(0, m_dir / "other.iiq");
  EXPECT_EQ(m_app->rowFault(2), text);
  pair(2, m_dir / "o2-again.iiq");
  EXPECT_EQ(m_app->rowFault(2), std::nullopt);
}

TEST_F(FaultTest, TheMarkGoesWithTheNextSaveOrTheRowsRemoval) {
  site = BatchFailureSite{1, BatchSubject::render};
  failingSave();
  ASSERT_TRUE(m_app->rowFault(1));
  const int reloads = m_toolkit.reloads;
  m_toolkit.panelAnswers.push_back(Strings{m_dir / "out"});
  m_app->save();
  EXPECT_EQ(m_app->rowFault(1), std::nullopt) << "a new save starts unmarked";
  EXPECT_GT(m_toolkit.reloads, reloads) << "and the table shows it so";
  m_toolkit.runJob();
  m_toolkit.drain();
  ASSERT_TRUE(m_app->rowFault(1));

  m_toolkit.selected = 1;
  m_app->removeSelected();
  EXPECT_EQ(faults(), (std::vector<std::optional<std::string>>(3)));
  m_app->undo();
  EXPECT_EQ(faults(), (std::vector<std::optional<std::string>>(4))) << "it came back unmarked";
}

TEST_F(FaultTest, AFailureOfTheBatchAsAWholeMarksNoRow) {
  for (const auto& failure : {std::optional<BatchFailureSite>{},
                              std::optional<BatchFailureSite>{BatchFailureSite{}},
                              std::optional<BatchFailureSite>{BatchFailureSite{9}}}) {
    site = failure;
    m_toolkit.selected = 3;
    failingSave();
    EXPECT_EQ(faults(), (std::vector<std::optional<std::string>>(4)));
    EXPECT_EQ(m_toolkit.selected, 3);
  }
}

// --- undoing a removal

TEST_F(WindowTest, UndoPutsRemovedRendersBackWithTheirOriginalsLatestFirst) {
  const Strings list = renders(4);
  m_app->append(list);
  pair(1, m_dir / "o1.iiq");
  pair(2, m_dir / "o2.iiq");
  const auto originals = m_app->originals();

  m_toolkit.selected = 1;
  m_app->removeSelected();
  m_toolkit.selected = 2;  // list[3], now in row 2
  m_app->removeSelected();
  EXPECT_EQ(m_app->renders(), (Strings{list[0], list[2]}));
  ASSERT_TRUE(m_app->canUndo());

  m_app->undo();
  EXPECT_EQ(m_app->renders(), (Strings{list[0], list[2], list[3]}));
  EXPECT_EQ(m_toolkit.selected, 2);
  m_app->undo();
  EXPECT_EQ(m_app->renders(), list);
  EXPECT_EQ(m_app->originals(), originals) << "with its pairing";
  EXPECT_EQ(m_toolkit.selected, 1);
  // Then the two pairings, the latest first; then nothing is left to undo.
  m_app->undo();
  EXPECT_EQ(m_app->originals(), (std::map<std::string, std::string>{{list[1], m_dir / "o1.iiq"}}));
  m_app->undo();
  EXPECT_TRUE(m_app->originals().empty());
  EXPECT_FALSE(m_app->canUndo());
  m_app->undo();
  EXPECT_EQ(m_app->renders(), list) << "nothing left to undo";
  EXPECT_TRUE(m_toolkit.alerts.empty());
}

// A wrong pairing was only mended by choosing again; Ctrl+Z takes back a single choice (the
// original it replaced comes back) and a whole choice of several paired by name at once.
TEST_F(WindowTest, UndoTakesBackPairingsInOrderWithRemovals) {
  const Strings list = renders(3, "DSC_");
  m_app->append(list);
  pair(0, m_dir / "first.iiq");
  pair(0, m_dir / "wrong.iiq");
  touch({m_dir / "raw/DSC_1.CR3", m_dir / "raw/DSC_2.CR3"});
  m_toolkit.selected = 1;
  m_toolkit.panelAnswers.push_back(Strings{m_dir / "raw/DSC_1.CR3", m_dir / "raw/DSC_2.CR3"});
  m_app->chooseOriginal();
  ASSERT_EQ(m_app->originals().size(), 3u);
  m_toolkit.selected = 2;
  m_app->removeSelected();

  m_app->undo();  // the removal
  EXPECT_EQ(m_app->renders(), list);
  EXPECT_EQ(m_app->originals().at(list[2]), m_dir / "raw/DSC_2.CR3");
  m_app->undo();  // both pairings by name at once
  EXPECT_EQ(m_app->originals(), (std::map<std::string, std::string>{{list[0], m_dir / "wrong.iiq"}}));
  EXPECT_EQ(m_toolkit.selected, 1) << "the first render it unpaired";
  EXPECT_FALSE(m_toolkit.saveEnabled);
  m_app->undo();  // the wrong choice: the earlier one is back
  EXPECT_EQ(m_app->originals().at(list[0]), m_dir / "first.iiq");
  EXPECT_EQ(m_toolkit.selected, 0);
  m_app->undo();
  EXPECT_TRUE(m_app->originals().empty());
  EXPECT_FALSE(m_app->canUndo());
}

// Shift or Ctrl selects several rows: they leave together, and one Ctrl+Z brings them all back
// where they stood, each with its original.
TEST_F(WindowTest, SeveralSelectedRowsAreRemovedTogetherAndComeBackWithOneUndo) {
  const Strings list = renders(6);
  m_app->append(list);
  pair(1, m_dir / "o1.iiq");
  pair(4, m_dir / "o4.iiq");
  pair(5, m_dir / "o5.iiq");
  const auto originals = m_app->originals();
  const std::size_t stepsBefore = 3;

  const struct {
    const char* name;
    int focused;
    std::vector<int> extended;
    Strings left;
    int selectedAfter;
  } cases[] = {
      {"rows apart, focus on the last", 4, {1, 5}, {list[0], list[2], list[3]}, 1},
      {"a run at the start", 0, {1, 2}, {list[3], list[4], list[5]}, 0},
      {"every row", 3, {0, 1, 2, 4, 5}, {}, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    m_toolkit.selected = c.focused;
    m_toolkit.extended = c.extended;
    m_app->removeSelected();
    EXPECT_EQ(m_app->renders(), c.left);
    for (const auto& render : list) {
      if (std::find(c.left.begin(), c.left.end(), render) == c.left.end()) {
        EXPECT_FALSE(m_app->originals().contains(render)) << "no pairing stays behind";
      }
    }
    if (c.selectedAfter >= 0) {
      EXPECT_EQ(m_toolkit.selected, c.selectedAfter);
    }
    m_app->undo();
    EXPECT_EQ(m_app->renders(), list) << "one undo for the whole removal";
    EXPECT_EQ(m_app->originals(), originals);
    EXPECT_EQ(m_toolkit.selected, c.extended.empty() ? c.focused
                                                     : std::min(c.focused, c.extended.front()));
    EXPECT_TRUE(m_toolkit.extended.empty());
  }
  // The three pairings are still there to undo, one by one; nothing else.
  for (std::size_t step = 0; step < stepsBefore; ++step) {
    ASSERT_TRUE(m_app->canUndo());
    m_app->undo();
  }
  EXPECT_TRUE(m_app->originals().empty());
  EXPECT_FALSE(m_app->canUndo());
  EXPECT_TRUE(m_toolkit.alerts.empty());
}

TEST_F(WindowTest, UndoingARemovalOfARenderAddedAgainSelectsItWhereItIsNow) {
  const Strings list = renders(3);
  m_app->append(list);
  pair(0, m_dir / "o0.iiq");
  m_toolkit.selected = 0;
  m_app->removeSelected();
  m_app->append({list[0]});
  EXPECT_EQ(m_app->renders(), (Strings{list[1], list[2], list[0]}));
  m_toolkit.selected = 0;
  m_app->undo();
  EXPECT_EQ(m_app->renders(), (Strings{list[1], list[2], list[0]}));
  EXPECT_EQ(m_toolkit.selected, 2);
  EXPECT_FALSE(m_app->originals().contains(list[0])) << "it keeps the pairing it has now";
}

// --- the progress bar's figure

TEST_F(WindowTest, TheProgressBarShowsTheFilesDoneOfAllAcrossSaves) {
  const std::string first = m_dir / "first";
  const std::string second = m_dir / "second";
  fs::create_directory(first);
  fs::create_directory(second);
  std::mutex mutex;
  std::condition_variable released;
  bool release = false;
  // Each batch reports where it stands, then waits until the test lets it end.
  m_app = std::make_unique<BridgeApp>(
      m_toolkit, [&](const BatchRequest& request, const BatchObserver& observer) -> BatchResult {
        if (request.destination == first) {
          observer.progress({3, 6, 300, 600, BatchPhase::staging});
        } else {
          observer.progress({0, 4, 0, 400, BatchPhase::preparing});
          observer.progress({3, 4, 400, 400, BatchPhase::finishing});
        }
        std::unique_lock lock(mutex);
        released.wait(lock, [&] { return release; });
        return BatchResult{request.destination + "/Quillmere-x", 1, std::nullopt};
      });
  m_app->append(renders(1));
  pair(0, m_dir / "o0.iiq");

  m_toolkit.panelAnswers.push_back(Strings{first});
  m_app->save();
  m_toolkit.startJob();
  ASSERT_TRUE(m_toolkit.waitForBlocks(1));
  m_toolkit.drain();
  EXPECT_EQ(m_toolkit.progress, testing::FakeToolkit::Progress::amount);
  EXPECT_EQ(m_toolkit.progressFilesDone, 3u) << "pair 3 is being staged: three are done";
  EXPECT_EQ(m_toolkit.progressFilesTotal, 6u);

  m_toolkit.panelAnswers.push_back(Strings{second});
  m_app->save();
  m_toolkit.startJob();
  ASSERT_TRUE(m_toolkit.waitForBlocks(2));
  m_toolkit.drain();
  EXPECT_EQ(m_toolkit.progressFilesDone, 3u + 4u)
      << "a batch that is finishing has all its files done";
  EXPECT_EQ(m_toolkit.progressFilesTotal, 6u + 4u);
  EXPECT_EQ(m_toolkit.progressDone, 700u);
  EXPECT_EQ(m_toolkit.progressTotal, 1000u);

  {
    const std::lock_guard lock(mutex);
    release = true;
  }
  released.notify_all();
  m_toolkit.joinJobs();
  m_toolkit.drain();
  EXPECT_EQ(m_toolkit.progress, testing::FakeToolkit::Progress::hidden);
}

}  // namespace
}  // namespace quillmere
