#include "window_logic/bridge_app.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "inspect/image_info.h"
#include "support/temp_dir.h"
#include "window_fixture.h"

namespace quillmere {
namespace {

using testing::FakeToolkit;
using testing::WindowTest;
using testing::writeFile;
using Strings = std::vector<std::string>;

constexpr const char* kNoOriginal = "请选择原照片";
constexpr const char* kLimitAlert = "每次最多接收 500 张照片。";

// --- refresh: the table, the save button and the selection

TEST_F(WindowTest, BeforeAnythingIsAddedNothingIsSelectedAndSavingIsDisabled) {
  m_toolkit.saveEnabled = true;
  m_app->refresh();
  EXPECT_EQ(m_toolkit.reloads, 1);
  EXPECT_FALSE(m_toolkit.saveEnabled);
  EXPECT_EQ(m_toolkit.selected, -1);
  EXPECT_EQ(m_app->rowCount(), 0u);
  EXPECT_EQ(m_toolkit.message, "") << "refresh never writes the message line";
}

TEST_F(WindowTest, SavingIsEnabledOnlyOnceEveryRenderHasAnOriginal) {
  m_app->append(renders(3));
  EXPECT_FALSE(m_toolkit.saveEnabled);
  pair(0, m_dir / "o0.iiq");
  pair(2, m_dir / "o2.iiq");
  EXPECT_FALSE(m_toolkit.saveEnabled);
  EXPECT_EQ(m_app->cellText(1, "source"), kNoOriginal);
  pair(1, m_dir / "o1.iiq");
  EXPECT_TRUE(m_toolkit.saveEnabled);
  EXPECT_EQ(m_toolkit.message, "已将“r1.png”与原照片“o1.iiq”配对；所有照片都已配对。");
}

TEST_F(WindowTest, TheFirstRowIsSelectedOnlyWhenNothingIsSelected) {
  m_app->append(renders(3));
  EXPECT_EQ(m_toolkit.selected, 0);
  m_toolkit.selected = 2;
  m_app->refresh();
  EXPECT_EQ(m_toolkit.selected, 2) << "refreshing never moves an existing selection";
  pair(0, m_dir / "o0.iiq");
  EXPECT_EQ(m_toolkit.selected, 1) << "pairing moves on to the next row";
  m_toolkit.selected = -1;
  m_app->refresh();
  EXPECT_EQ(m_toolkit.selected, 0);
}

// Beyond the Part: what was just added is selected, its first file, whatever was selected before;
// a call that adds nothing leaves the selection alone.
TEST_F(WindowTest, AddedFilesAreSelectedFromTheFirstOfThem) {
  const Strings first = renders(3);
  m_app->append(first);
  EXPECT_EQ(m_toolkit.selected, 0);
  m_toolkit.selected = 1;
  m_app->append({first[2], render("late.png"), render("later.png", 1)});
  EXPECT_EQ(m_toolkit.selected, 3) << "late.png, the first file this call added";
  m_toolkit.selected = 1;
  m_toolkit.tableFocused = false;
  m_app->append({first[0], file("bad.png", "x")});
  EXPECT_EQ(m_toolkit.selected, 1) << "nothing added: the selection stays";
  EXPECT_FALSE(m_toolkit.tableFocused) << "and so does the keyboard";
}

// Adding gives the table the keyboard on the first new row, so a second Enter chooses its
// original instead of opening the add panel again.
TEST_F(WindowTest, AddingGivesTheKeyboardToTheFirstNewRow) {
  const Strings first = renders(2);
  m_app->append({first[0]});
  m_toolkit.tableFocused = false;
  m_toolkit.panelAnswers.push_back(Strings{first[0], first[1]});
  m_app->addRenders();
  EXPECT_EQ(m_toolkit.selected, 1) << "the first new row, not the one listed before";
  EXPECT_TRUE(m_toolkit.tableFocused);
}

TEST_F(WindowTest, CellsShowTheRendersNameAndItsOriginalsNameInEveryOtherColumn) {
  m_app->append({render("a.png")});
  for (const char* column : {"source", "", "anything"}) {
    SCOPED_TRACE(column);
    EXPECT_EQ(m_app->cellText(0, column), kNoOriginal);
  }
  pair(0, m_dir / "DSC_0001.ARW");
  EXPECT_EQ(m_app->cellText(0, "render"), "a.png");
  for (const char* column : {"source", "", "anything"}) {
    SCOPED_TRACE(column);
    EXPECT_EQ(m_app->cellText(0, column), "DSC_0001.ARW");
  }
  pair(0, m_dir / "DSC_0002.ARW");
  EXPECT_EQ(m_app->cellText(0, "source"), "DSC_0002.ARW") << "a new choice replaces the old";
}

// --- append

TEST_F(WindowTest, AFileAddedTwiceIsListedOnceWithoutAMessage) {
  const auto a = render("a.png");
  const auto b = render("b.png", 1);
  m_app->append({a, b, a});
  m_app->append({b, a});
  EXPECT_EQ(m_app->renders(), (Strings{a, b}));
  EXPECT_TRUE(m_toolkit.alerts.empty());
}

TEST_F(WindowTest, OpenedFilesAreComparedAsStandardisedLocations) {
  const auto a = render("a.png");
  m_app->openFiles({a, m_dir / "./a.png", m_dir / "sub/../a.png", m_dir.path() + "//a.png"});
  EXPECT_EQ(m_app->renders(), (Strings{a}));
  EXPECT_TRUE(m_toolkit.alerts.empty());
}

// One add, one alert: every refused file named under its own reason, the reasons in the order
// they first came, after every file has been examined.
TEST_F(WindowTest, EveryFileOneAddRefusesIsNamedUnderItsReasonInOneAlert) {
  const auto good1 = render("good1.png");
  const auto missing = m_dir / "missing.jpg";
  const auto notAnImage = file("notes.png", "not an image at all");
  const auto empty = file("empty.tif", "");
  // A valid PNG header of 30000 by 30000 pixels: more than a batch takes.
  std::string huge = testing::pngImage(4, 3);
  for (const int offset : {16, 20}) {
    huge[offset] = 0;
    huge[offset + 1] = 0;
    huge[offset + 2] = static_cast<char>(30000 >> 8);
    huge[offset + 3] = static_cast<char>(30000 & 0xFF);
  }
  const auto hugePng = file("huge.png", huge);
  const auto alsoNotAnImage = file("readme.jpg", "text");
  const auto good2 = render("good2.png", 1);
  std::vector<std::size_t> listedAtAlert;
  m_toolkit.onAlert = [&](const std::string&) { listedAtAlert.push_back(m_app->rowCount()); };

  m_app->openFiles({good1, missing, notAnImage, empty, hugePng, good2, alsoNotAnImage});

  EXPECT_EQ(m_app->renders(), (Strings{good1, good2}));
  EXPECT_EQ(listedAtAlert, (std::vector<std::size_t>{2})) << "one alert, once all are examined";
  ASSERT_EQ(m_toolkit.alerts.size(), 1u);
  // The platform's own description names the path; the others are named under theirs.
  EXPECT_EQ(m_toolkit.alerts[0],
            "无法检查“" + missing + "”：没有那个文件或目录（ENOENT）\nmissing.jpg\n\n"
            "请选择已导出的单页 JPEG、TIFF 或 PNG 照片。\nnotes.png\nhuge.png\nreadme.jpg\n\n"
            "照片不可读取、为空或大于 4 GiB。\nempty.tif");
  EXPECT_EQ(m_toolkit.selected, 0) << "the first file added is selected after the alert";
  EXPECT_TRUE(m_toolkit.tableFocused);
}

TEST_F(WindowTest, AListedFileIsExaminedAgainAndKeepsItsEntryWhenRefusedNow) {
  const auto a = render("a.png");
  m_app->append({a});
  writeFile(a, "overwritten");
  m_app->append({a});
  EXPECT_EQ(m_toolkit.alerts, (Strings{std::string(kNotAnAcceptedImageMessage) + "\na.png"}));
  EXPECT_EQ(m_app->renders(), (Strings{a}));
}

// A batch takes no render over 512 MiB; finding that out one save at a time would take as many
// saves as there are such renders.
TEST_F(WindowTest, RendersOver512MiBAreRefusedWhenAddedAllInOneAlert) {
  const auto sparse = [&](const std::string& name, std::uintmax_t size) {
    const std::string path = render(name);
    std::filesystem::resize_file(path, size);
    return path;
  };
  const std::string big1 = sparse("big1.png", 536'870'913);
  const std::string ok = render("ok.png");
  const std::string exact = sparse("exact.png", 536'870'912);
  const std::string big2 = sparse("big2.png", 1'080'000'000);
  const std::string notImage = file("notes.png", "not an image");
  m_app->append({big1, ok, exact, notImage, big2});
  // The limit is binary, and said so.
  EXPECT_EQ(m_toolkit.alerts, (Strings{"单张导出照片不能超过 512 MiB。\nbig1.png\nbig2.png\n\n" +
                                       std::string(kNotAnAcceptedImageMessage) + "\nnotes.png"}));
  EXPECT_EQ(m_app->renders(), (Strings{ok, exact}));
}

struct LimitCase {
  const char* name;
  int listed;        // renders already in the list
  int added;         // files in one call
  int badAt;         // index of a file in the call that is not an image, or -1
  int expectListed;  // of the call's files, how many are listed afterwards
  Strings expectAlerts;
};

TEST_F(WindowTest, TheListHoldsAtMost500AndOneCallExaminesAtMost500) {
  const std::string refusal = std::string(kNotAnAcceptedImageMessage) + "\nbad.png";
  const LimitCase cases[] = {
      // Files after the 500th are never examined: the bad ones among them raise no alert.
      {"600 at once on an empty list", 0, 600, 550, 500, {}},
      {"495 plus 10", 495, 10, -1, 5, {kLimitAlert}},
      // All ten are examined (the bad one is refused), then the list is cut once.
      {"500 plus 10", 500, 10, 3, 0, {refusal, kLimitAlert}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    FakeToolkit toolkit;
    BridgeApp app(toolkit);
    const std::string bytes = testing::pngImage(4, 3);
    auto files = [&](const std::string& prefix, int count) {
      Strings paths;
      for (int i = 0; i < count; ++i) {
        paths.push_back(dir / (prefix + std::to_string(i) + ".png"));
        writeFile(paths.back(), bytes);
      }
      return paths;
    };
    const Strings before = files("old", c.listed);
    app.append(before);
    Strings added = files("new", c.added);
    if (c.badAt >= 0) {
      added[static_cast<std::size_t>(c.badAt)] = dir / "bad.png";
      writeFile(dir / "bad.png", "not an image");
    }

    app.append(added);

    Strings expected = before;
    expected.insert(expected.end(), added.begin(), added.begin() + c.expectListed);
    EXPECT_EQ(app.renders(), expected);
    EXPECT_EQ(toolkit.alerts, c.expectAlerts);
  }
}

TEST_F(WindowTest, TheAddPanelOffersRenderTypesAndAddsInThePanelsOrder) {
  const auto a = render("a.png");
  const auto b = render("b.png", 1);
  m_toolkit.panelAnswers = {std::nullopt, Strings{b, a}};

  m_app->addRenders();
  ASSERT_EQ(m_toolkit.panels.size(), 1u);
  const OpenPanel& panel = m_toolkit.panels[0];
  EXPECT_FALSE(panel.chooseFolders);
  EXPECT_TRUE(panel.multipleSelection);
  EXPECT_FALSE(panel.canCreateFolders);
  EXPECT_EQ(panel.extensions, (Strings{"jpg", "jpeg", "png", "tif", "tiff"}));
  EXPECT_EQ(panel.message, "选择 Capture One 导出的照片，不要选择 RAW 原照片。");
  EXPECT_EQ(m_toolkit.reloads, 0) << "a cancelled panel changes nothing";

  m_app->addRenders();
  EXPECT_EQ(m_app->renders(), (Strings{b, a}));
}

// --- pairing

TEST_F(WindowTest, ChoosingWithoutASelectedRowShowsNoPanel) {
  m_app->append(renders(2));
  const int reloads = m_toolkit.reloads;
  for (int row : {-1, 2}) {
    m_toolkit.selected = row;
    m_app->chooseOriginal();
  }
  EXPECT_TRUE(m_toolkit.panels.empty());
  EXPECT_EQ(m_toolkit.reloads, reloads);
}

TEST_F(WindowTest, TheChoosePanelIsAFilePanelNamingTheRender) {
  m_app->append({render("a.png")});
  pair(0, m_dir / "a.CR3");
  ASSERT_EQ(m_toolkit.panels.size(), 1u);
  const OpenPanel& panel = m_toolkit.panels[0];
  EXPECT_FALSE(panel.chooseFolders);
  // Several originals may be chosen at once, to be paired by their names.
  EXPECT_TRUE(panel.multipleSelection);
  EXPECT_FALSE(panel.canCreateFolders);
  EXPECT_TRUE(panel.extensions.empty());
  EXPECT_EQ(panel.message, "选择“a.png”对应的原照片（与 Quillmere 中导入的原照片一致）。");
}

TEST_F(WindowTest, PairingMovesTheSelectionToTheNextRenderExceptOnTheLast) {
  const Strings list = renders(3);
  m_app->append(list);
  const struct {
    int row;
    int expectSelected;
  } cases[] = {{0, 1}, {1, 2}, {2, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.row);
    const std::string original = m_dir / std::to_string(c.row);
    pair(c.row, original);
    EXPECT_EQ(m_toolkit.selected, c.expectSelected);
    EXPECT_EQ(m_app->originals().at(list[static_cast<std::size_t>(c.row)]), original);
  }
}

TEST_F(WindowTest, ACancelledOrEmptyChoiceChangesNothing) {
  m_app->append(renders(2));
  const int reloads = m_toolkit.reloads;
  m_toolkit.selected = 0;
  m_toolkit.panelAnswers = {std::nullopt, Strings{}};
  m_app->chooseOriginal();
  m_app->chooseOriginal();
  EXPECT_TRUE(m_app->originals().empty());
  EXPECT_EQ(m_toolkit.reloads, reloads);
  EXPECT_EQ(m_toolkit.selected, 0);
}

// Beyond the Part, which accepted any file and left the checks to the batch: the chosen original is
// checked when it is chosen, as the batch will check it, and anything but a readable regular file
// is refused there, naming it, with no pairing.
TEST_F(WindowTest, AnyReadableFileIsAcceptedAsAnOriginal) {
  const auto a = render("a.png");
  m_app->append({a});
  pair(0, file("notes.txt", "not a photo, but a file"));
  EXPECT_TRUE(m_toolkit.alerts.empty());
  EXPECT_EQ(m_app->originals().at(a), m_dir / "notes.txt");
  EXPECT_TRUE(m_toolkit.saveEnabled);
}

// The message line says what a removal, an undo or a pairing did, each step in turn.
TEST_F(WindowTest, TheMessageLineTellsWhatEachRemovalUndoAndPairingDid) {
  const Strings list = renders(5);
  m_app->append(list);
  touch({m_dir / "r0.CR3", m_dir / "r1.CR3", m_dir / "r2.CR3"});
  const struct {
    const char* step;
    std::function<void()> act;
    std::string message;
  } steps[] = {
      {"one original chosen",
       [&] { pair(0, m_dir / "r0.CR3"); },
       "已将“r0.png”与原照片“r0.CR3”配对；还有 4 张尚未配对。"},
      {"several chosen, paired by name",
       [&] {
         m_toolkit.selected = 1;
         m_toolkit.panelAnswers.push_back(Strings{m_dir / "r1.CR3", m_dir / "r2.CR3"});
         m_app->chooseOriginal();
       },
       "已按文件名配对 2 张照片；还有 2 张尚未配对。"},
      {"the pairing by name undone", [&] { m_app->undo(); },
       "已撤销配对，2 张照片恢复为之前的原照片。"},
      {"four removed at once",
       [&] {
         m_toolkit.selected = 1;
         m_toolkit.extended = {2, 3, 4};
         m_app->removeSelected();
       },
       "已移除 4 张导出的照片；按 Ctrl+Z 可撤销。"},
      {"the removal undone", [&] { m_app->undo(); }, "已撤销移除，4 张导出的照片回到了列表中。"},
      {"the first pairing undone", [&] { m_app->undo(); },
       "已撤销配对，1 张照片恢复为之前的原照片。"},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.step);
    step.act();
    EXPECT_EQ(m_toolkit.message, step.message);
  }
  EXPECT_TRUE(m_app->originals().empty());
  EXPECT_EQ(m_app->renders(), list);
}

// While a save runs, its message stays: the rows show what a removal did.
TEST_F(WindowTest, WhileASaveRunsItsMessageStays) {
  const Strings list = renders(2);
  m_app->append(list);
  pair(0, m_dir / "a.CR3");
  pair(1, m_dir / "b.CR3");
  std::filesystem::create_directory(m_dir / "out");
  m_toolkit.panelAnswers.push_back(Strings{m_dir / "out"});
  m_app->save();
  const std::string busy = m_toolkit.message;
  ASSERT_EQ(busy, "正在准备照片，请稍候…");
  m_toolkit.selected = 1;
  m_app->removeSelected();
  m_app->undo();
  EXPECT_EQ(m_toolkit.message, busy);
}

}  // namespace
}  // namespace quillmere
