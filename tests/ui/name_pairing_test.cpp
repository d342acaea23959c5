// Pairing by file name: the base names and sidecars on their own, several originals chosen at
// once, the choose panel's suggestion of the one match in a folder, and how a pairing of
// different names is shown.

#include "ui/name_pairing.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "ui/bridge_app.h"
#include "window_fixture.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using testing::WindowTest;
using Strings = std::vector<std::string>;
using SourceState = BridgeApp::SourceState;

// "还有 0 张尚未配对" would read as if something were left: with none left it says all are paired.
std::string pairedMessage(int paired, int left) {
  if (left == 0) return "已按文件名配对 " + std::to_string(paired) + " 张照片；所有照片都已配对。";
  return "已按文件名配对 " + std::to_string(paired) + " 张照片；还有 " + std::to_string(left) +
         " 张尚未配对。";
}

// --- the names on their own

TEST(NamePairing, BaseNamesDropTheLastExtensionAndIgnoreCase) {
  struct Case {
    const char* path;
    const char* base;
  };
  const Case cases[] = {
      {"/a/DSC_4001.CR3", "dsc_4001"},   {"/a/dsc_4001.jpg", "dsc_4001"},
      {"/a/IMG.1.tif", "img.1"},         {"/a/.hidden", ".hidden"},
      {"/a/NoExtension", "noextension"}, {"/a/Änderung.JPG", "Änderung"},
  };
  for (const auto& c : cases) EXPECT_EQ(baseName(c.path), c.base) << c.path;
}

TEST(NamePairing, SidecarsAreKnownByTheirExtensionInAnyCase) {
  for (const char* path : {"/a/x.xmp", "/a/x.XMP", "/a/x.dop", "/a/x.pp3", "/a/x.json", "/a/x.THM"}) {
    EXPECT_TRUE(isSidecar(path)) << path;
  }
  for (const char* path : {"/a/x.CR3", "/a/x.tif", "/a/xmp", "/a/.xmp", "/a/x.xmp.tif"}) {
    EXPECT_FALSE(isSidecar(path)) << path;
  }
}

class NamePairingFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = fs::path(::testing::TempDir()) /
            ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::remove_all(m_dir);
    fs::create_directories(m_dir);
  }
  void TearDown() override { fs::remove_all(m_dir); }
  std::string file(const std::string& name) {
    std::ofstream(m_dir / name) << name;
    return (m_dir / name).string();
  }
  fs::path m_dir;
};

TEST_F(NamePairingFolder, TheOneMatchInAFolderIsSuggestedAndNeverASidecarARenderOrTwo) {
  const auto none = [](const std::string&) { return false; };
  const std::string raw = file("DSC_1.CR3");
  file("DSC_1.xmp");
  fs::create_directory(m_dir / "dsc_1.d");
  EXPECT_EQ(originalByName(m_dir.string(), "/r/DSC_1.tif", none), raw);
  // The render itself, when it lies in the folder, is never its own original.
  const std::string render = file("DSC_2.tif");
  EXPECT_EQ(originalByName(m_dir.string(), render,
                           [&](const std::string& path) { return path == render; }),
            "");
  // Two candidates: no suggestion rather than a guess.
  file("DSC_1.NEF");
  EXPECT_EQ(originalByName(m_dir.string(), "/r/DSC_1.tif", none), "");
  EXPECT_EQ(originalByName((m_dir / "missing").string(), "/r/DSC_1.tif", none), "");
}

TEST(NamePairing, ChosenFilesAreGroupedByBaseNameOnceEachWithoutSidecarsOrExcluded) {
  const auto grouped = originalsByBaseName(
      {"/o/A.CR3", "/o/a.nef", "/o/A.CR3", "/o/A.xmp", "/o/B.CR3", "/r/C.tif"},
      [](const std::string& path) { return path == "/r/C.tif"; });
  ASSERT_EQ(grouped.size(), 2u);
  EXPECT_EQ(grouped.at("a"), (Strings{"/o/A.CR3", "/o/a.nef"}));
  EXPECT_EQ(grouped.at("b"), (Strings{"/o/B.CR3"}));
}

// --- pairing several originals by name

TEST_F(WindowTest, SeveralChosenOriginalsPairEveryUnpairedRenderWithTheOneOfItsName) {
  const std::string a = render("DSC_4001.jpg");
  const std::string b = render("DSC_4002.tif", 1);
  const std::string c = render("dsc_4003.png", 2);
  const std::string d = render("DSC_4004.jpg", 3);
  const std::string e = render("DSC_4005.jpg", 4);
  const std::string f = render("DSC_4006.png", 5);
  m_app->append({a, b, c, d, e, f});
  pair(5, m_dir / "elsewhere/DSC_4006.CR3");  // paired already: keeps its choice
  fs::create_directory(m_dir / "raw");
  const auto raw = [&](const std::string& name) { return m_dir / ("raw/" + name); };

  touch({raw("DSC_4001.CR3"), raw("DSC_4001.xmp"), raw("DSC_4002.CR3"), raw("DSC_4003.CR3"),
         raw("DSC_4004.CR3"), raw("DSC_4004.NEF"), raw("DSC_4006.CR3"), raw("DSC_4007.CR3"),
         raw("DSC_4005.dng")});
  m_toolkit.selected = 1;
  m_toolkit.panelAnswers.push_back(Strings{
      raw("DSC_4001.CR3"),
      raw("DSC_4001.xmp"),  // a sidecar of the same name does not make it ambiguous
      raw("DSC_4002.CR3"),
      raw("DSC_4003.CR3"),  // case is ignored
      raw("DSC_4004.CR3"),
      raw("DSC_4004.NEF"),  // two originals of one name: ambiguous, left alone
      raw("DSC_4006.CR3"),
      raw("DSC_4007.CR3"),  // no render of that name
  });
  m_app->chooseOriginal();

  const std::map<std::string, std::string> expected{
      {a, raw("DSC_4001.CR3")},
      {b, raw("DSC_4002.CR3")},
      {c, raw("DSC_4003.CR3")},
      {f, m_dir / "elsewhere/DSC_4006.CR3"},
  };
  EXPECT_EQ(m_app->originals(), expected);
  EXPECT_EQ(m_toolkit.message, pairedMessage(3, 2));
  EXPECT_EQ(m_toolkit.selected, 3) << "the first render still without an original";
  EXPECT_FALSE(m_toolkit.saveEnabled);
  EXPECT_TRUE(m_toolkit.alerts.empty());
  EXPECT_EQ(m_toolkit.folders[PanelFolder::originals], m_dir / "raw");

  // Choosing the rest: everything is paired, and the selection stays.
  m_toolkit.selected = 4;
  m_toolkit.panelAnswers.push_back(Strings{raw("DSC_4004.NEF"), raw("DSC_4005.dng")});
  m_app->chooseOriginal();
  EXPECT_EQ(m_toolkit.message, pairedMessage(2, 0));
  EXPECT_EQ(m_toolkit.selected, 4);
  EXPECT_TRUE(m_toolkit.saveEnabled);
}

// "7 left unpaired" named no row and no reason; the rows say why, and F8 finds them in turn.
TEST_F(WindowTest, RowsLeftByPairingByNameSayWhyAndF8FindsThemInTurn) {
  const std::string a = render("DSC_0001.jpg");
  const std::string b = render("DSC_0005.jpg", 1);
  const std::string c = render("DSC_0007.jpg", 2);
  const std::string d = render("DSC_0090.jpg", 3);
  m_app->append({a, b, c, d});
  const auto raw = [&](const std::string& name) { return m_dir / ("raw/" + name); };
  touch({raw("DSC_0001.CR3"), raw("DSC_0005.CR3"), raw("DSC_0005.NEF"), raw("DSC_0007.CR3")});
  m_toolkit.panelAnswers.push_back(
      Strings{raw("DSC_0001.CR3"), raw("DSC_0005.CR3"), raw("DSC_0005.NEF"), raw("DSC_0007.CR3")});
  m_app->chooseOriginal();
  ASSERT_EQ(m_toolkit.message, pairedMessage(2, 2));
  EXPECT_EQ(m_app->rowUnpairedReason(0), std::nullopt);
  EXPECT_EQ(m_app->rowUnpairedReason(1),
            "所选的原照片中有多张与它同名：DSC_0005.CR3、DSC_0005.NEF。请从中选择一张。");
  EXPECT_EQ(m_app->rowUnpairedReason(2), std::nullopt);
  EXPECT_EQ(m_app->rowUnpairedReason(3), "所选的原照片中没有与它同名的，请单独为它选择原照片。");
  EXPECT_EQ(m_app->rowUnpairedReason(4), std::nullopt) << "past the end";

  // F8 from the first row: the next unpaired one, then the one after, then around again.
  m_toolkit.selected = 0;
  for (const int expected : {1, 3, 1}) {
    m_app->selectNextNeedingWork();
    EXPECT_EQ(m_toolkit.selected, expected);
  }
  // Paired, a row's reason goes and F8 passes it by.
  pair(1, raw("DSC_0005.NEF"));
  EXPECT_EQ(m_app->rowUnpairedReason(1), std::nullopt);
  m_toolkit.selected = 0;
  m_app->selectNextNeedingWork();
  EXPECT_EQ(m_toolkit.selected, 3);
  // Nothing left to do: F8 leaves the selection where it is.
  pair(3, raw("DSC_0090.CR3"));
  EXPECT_EQ(m_app->rowUnpairedReason(3), std::nullopt);
  m_toolkit.selected = 2;
  m_app->selectNextNeedingWork();
  EXPECT_EQ(m_toolkit.selected, 2);
}

TEST_F(WindowTest, ThePairingCountGivesWayToTheInitialTextOnceTheListChangesAgain) {
  const std::string initial =
      "从 Capture One 导出 JPEG、TIFF 或 PNG 后，在这里选择对应的原照片。"
      "原照片只用于确认对应关系，不会被修改。";
  using Change = std::function<void(BridgeApp&, testing::FakeToolkit&)>;
  const struct {
    const char* name;
    Change change;
    std::string expect;  // the message line afterwards
  } cases[] = {
      {"another original for one render: that pairing is told",
       [&](BridgeApp& app, testing::FakeToolkit& toolkit) {
         toolkit.selected = 1;
         toolkit.panelAnswers.push_back(Strings{m_dir / "x.CR3"});
         app.chooseOriginal();
       },
       "已将“b.png”与原照片“x.CR3”配对；所有照片都已配对。"},
      {"a render removed: the removal is told",
       [](BridgeApp& app, testing::FakeToolkit&) { app.removeSelected(); },
       "已移除 1 张导出的照片；按 Ctrl+Z 可撤销。"},
      {"a render added",
       [&](BridgeApp& app, testing::FakeToolkit&) { app.append({render("c.png", 2)}); }, initial},
      {"a refused file changes nothing",
       [&](BridgeApp& app, testing::FakeToolkit&) { app.append({file("bad.png", "x")}); },
       pairedMessage(1, 1)},
  };
  touch({m_dir / "x.CR3", m_dir / "a.CR3", m_dir / "z.CR3"});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::FakeToolkit toolkit;
    BridgeApp app(toolkit);
    app.append({render("a.png"), render("b.png", 1)});
    toolkit.selected = 0;
    toolkit.panelAnswers.push_back(Strings{m_dir / "a.CR3", m_dir / "z.CR3"});
    app.chooseOriginal();
    ASSERT_EQ(toolkit.message, pairedMessage(1, 1));
    c.change(app, toolkit);
    EXPECT_EQ(toolkit.message, c.expect);
  }
}

TEST_F(WindowTest, NeitherSidecarsNorListedRendersArePairedAsOriginals) {
  const std::string a = render("a.jpg");
  const std::string aTif = render("a.tif", 1);
  m_app->append({a, aTif});
  m_toolkit.selected = 0;
  m_toolkit.panelAnswers.push_back(Strings{m_dir / "a.XMP", aTif, m_dir / "a.dop"});
  m_app->chooseOriginal();
  EXPECT_TRUE(m_app->originals().empty());
  EXPECT_EQ(m_toolkit.message, pairedMessage(0, 2));
}

TEST_F(WindowTest, OneChosenFilePairsTheSelectedRenderWhateverItsName) {
  const Strings list = renders(2);
  m_app->append(list);
  m_toolkit.message = "before";
  pair(0, m_dir / "DSC_9999.xmp");
  EXPECT_EQ(m_app->originals().at(list[0]), m_dir / "DSC_9999.xmp");
  EXPECT_EQ(m_toolkit.selected, 1);
  EXPECT_EQ(m_toolkit.message, "已将“r0.png”与原照片“DSC_9999.xmp”配对；还有 1 张尚未配对。")
      << "a single choice is told by name";
}

// --- the choose panel's folder and suggestion

TEST_F(WindowTest, TheChoosePanelOpensWhereTheLastOriginalWasAndSelectsTheOneOfTheRendersName) {
  const struct {
    const char* name;
    Strings files;  // in the folder of the last chosen original
    const char* expectSelected;
  } cases[] = {
      {"one of its name, any case", {"dsc_4001.cr3", "DSC_4002.CR3"}, "dsc_4001.cr3"},
      {"sidecars do not count",
       {"DSC_4001.CR3", "DSC_4001.CR3.xmp", "DSC_4001.xmp"},
       "DSC_4001.CR3"},
      {"two of its name: no guess", {"DSC_4001.CR3", "DSC_4001.JPG"}, ""},
      {"none of its name", {"DSC_4002.CR3"}, ""},
      {"a folder of its name is not a file", {"DSC_4001.d/"}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir raw;
    for (const auto& name : c.files) {
      if (name.ends_with("/")) {
        fs::create_directory(raw / name);
      } else {
        testing::writeFile(raw / name, "raw");
      }
    }
    testing::FakeToolkit toolkit;
    toolkit.folders[PanelFolder::originals] = raw.path();
    BridgeApp app(toolkit);
    app.append({render("DSC_4001.jpg")});
    toolkit.panelAnswers.push_back(std::nullopt);
    app.chooseOriginal();
    ASSERT_EQ(toolkit.panels.size(), 1u);
    EXPECT_EQ(toolkit.panels[0].folder, raw.path());
    EXPECT_EQ(toolkit.panels[0].preselected, *c.expectSelected ? raw / c.expectSelected : "");
  }
}

TEST_F(WindowTest, BeforeAnyOriginalTheChoosePanelOpensBesideTheRenderNeverSuggestingARender) {
  const std::string jpg = render("DSC_4001.jpg");
  const std::string tif = render("DSC_4001.tif", 1);
  testing::writeFile(m_dir / "DSC_4001.CR3", "raw");
  m_app->append({jpg, tif});
  m_toolkit.selected = 0;
  m_toolkit.panelAnswers.push_back(std::nullopt);
  m_app->chooseOriginal();
  ASSERT_EQ(m_toolkit.panels.size(), 1u);
  EXPECT_EQ(m_toolkit.panels[0].folder, m_dir.path());
  EXPECT_EQ(m_toolkit.panels[0].preselected, m_dir / "DSC_4001.CR3");
  EXPECT_FALSE(m_toolkit.folders.contains(PanelFolder::originals)) << "a cancelled panel";
}

// --- how a pairing is shown

TEST_F(WindowTest, APairingOfDifferentNamesIsMarkedButShowsTheSameText) {
  m_app->append({render("DSC_4005.tif"), render("DSC_4006.tif", 1)});
  EXPECT_EQ(m_app->sourceState(0), SourceState::missing);
  pair(0, m_dir / "DSC_4008.CR3");
  pair(1, m_dir / "dsc_4006.cr3");
  EXPECT_EQ(m_app->sourceState(0), SourceState::otherName);
  EXPECT_EQ(m_app->cellText(0, "source"), "DSC_4008.CR3");
  EXPECT_EQ(m_app->sourceState(1), SourceState::sameName);
}

}  // namespace
}  // namespace quillmere
