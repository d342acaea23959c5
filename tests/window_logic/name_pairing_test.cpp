// Pairing by file name: the base names and sidecars on their own, several originals chosen at
// once, the choose panel's suggestion of the one match in a folder, and how a pairing of
// different names is shown.

#include "window_logic/name_pairing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "window_logic/bridge_app.h"
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

// A card shot RAW+JPEG (or RAW+HEIF) holds both files of each shot: the raw is the original.
TEST(NamePairing, AmongFilesOfOneNameTheRawIsTheOriginalOverTheCamerasOwnPictures) {
  const struct {
    Strings files;
    const char* original;  // empty: no original, the choice stays open
    Strings setAside;
  } cases[] = {
      {{"/c/A.DNG", "/c/A.JPG"}, "/c/A.DNG", {"/c/A.JPG"}},
      {{"/c/a.jpg", "/c/A.CR3"}, "/c/A.CR3", {"/c/a.jpg"}},
      {{"/c/A.NEF", "/c/A.HEIC"}, "/c/A.NEF", {"/c/A.HEIC"}},
      {{"/c/A.jpeg", "/c/A.ARW", "/c/A.HIF"}, "/c/A.ARW", {"/c/A.jpeg", "/c/A.HIF"}},
      {{"/c/A.tif"}, "/c/A.tif", {}},
      {{"/c/A.JPG"}, "/c/A.JPG", {}},
      {{"/c/A.DNG", "/c/A.NEF"}, "", {}},              // two raws
      {{"/c/A.DNG", "/c/A.NEF", "/c/A.JPG"}, "", {}},  // two raws, whatever else
      {{"/c/A.CR3", "/c/A.tif"}, "", {}},              // a TIFF may be an earlier export
      {{"/c/A.JPG", "/c/A.HEIC"}, "", {}},             // no raw to prefer
      {{}, "", {}},
  };
  for (const auto& c : cases) {
    const auto match = originalAmong(c.files);
    SCOPED_TRACE(c.files.empty() ? std::string("none") : c.files.front());
    if (*c.original == '\0') {
      EXPECT_EQ(match, std::nullopt);
      continue;
    }
    ASSERT_TRUE(match.has_value());
    EXPECT_EQ(match->original, c.original);
    EXPECT_EQ(match->setAside, c.setAside);
  }
  for (const char* path : {"/a/x.dng", "/a/x.CR3", "/a/x.3FR", "/a/x.gpr", "/a/x.RAW"}) {
    EXPECT_TRUE(isRaw(path)) << path;
  }
  for (const char* path : {"/a/x.jpg", "/a/x.tif", "/a/dng", "/a/.dng", "/a/x.dng.xmp"}) {
    EXPECT_FALSE(isRaw(path)) << path;
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

// A card from a camera shooting RAW+JPEG, every file chosen at once, paired none: each row found
// two originals of its name. The raws pair, each row says which JPEG was set aside, and two raws
// of one name still leave the choice to the user.
TEST_F(WindowTest, ACardShotRawPlusJpegPairsTheRawsAndSaysTheJpegsWereSetAside) {
  Strings list;
  Strings card;
  const auto onCard = [&](const std::string& name) { return m_dir / ("card/" + name); };
  for (int shot = 1; shot <= 5; ++shot) {
    const std::string name = "DSC_000" + std::to_string(shot);
    list.push_back(render(name + ".jpg", shot));
    for (const char* extension : {".DNG", ".JPG"}) card.push_back(onCard(name + extension));
  }
  card.push_back(onCard("DSC_0001.xmp"));  // a sidecar changes nothing
  m_app->append(list);
  touch(card);
  m_toolkit.panelAnswers.push_back(card);
  m_app->chooseOriginal();

  EXPECT_EQ(m_toolkit.message, pairedMessage(5, 0));
  for (std::size_t row = 0; row < list.size(); ++row) {
    const std::string name = "DSC_000" + std::to_string(row + 1);
    EXPECT_EQ(m_app->originals().at(list[row]), onCard(name + ".DNG"));
    EXPECT_EQ(m_app->rowUnpairedReason(row), std::nullopt);
  }
  EXPECT_TRUE(m_toolkit.saveEnabled);
}

TEST_F(WindowTest, ARowPairedWithTheRawSaysWhichPictureWasSetAsideWhileItHasThatOriginal) {
  const std::string a = render("DSC_0001.jpg");
  const std::string b = render("DSC_0002.jpg", 1);
  const std::string c = render("DSC_0003.jpg", 2);
  m_app->append({a, b, c});
  const auto onCard = [&](const std::string& name) { return m_dir / ("card/" + name); };
  const Strings card{onCard("DSC_0001.DNG"), onCard("DSC_0001.JPG"), onCard("DSC_0001.HEIC"),
                     onCard("DSC_0002.DNG"), onCard("DSC_0002.NEF"), onCard("DSC_0002.JPG"),
                     onCard("DSC_0003.tif")};
  touch(card);
  m_toolkit.panelAnswers.push_back(card);
  m_app->chooseOriginal();
  EXPECT_EQ(m_toolkit.message, pairedMessage(2, 1));
  EXPECT_EQ(m_app->rowPairingNote(0),
            "已选用同名的 RAW 原片，略过了相机直出的 DSC_0001.JPG、DSC_0001.HEIC。");
  EXPECT_EQ(m_app->rowUnpairedReason(1),
            "所选的原照片中有多张与它同名：DSC_0002.DNG、DSC_0002.NEF、DSC_0002.JPG。请从中选择一张。");
  EXPECT_EQ(m_app->rowPairingNote(1), std::nullopt);
  EXPECT_EQ(m_app->rowPairingNote(2), std::nullopt) << "one file of its name: nothing set aside";
  EXPECT_EQ(m_app->rowPairingNote(3), std::nullopt) << "past the end";

  // Another original for the row: the note no longer holds; undone, it does again.
  pair(0, onCard("DSC_0001.JPG"));
  EXPECT_EQ(m_app->rowPairingNote(0), std::nullopt);
  m_app->undo();
  EXPECT_NE(m_app->rowPairingNote(0), std::nullopt);
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
      {"the raw over the camera's JPEG of its name", {"DSC_4001.CR3", "DSC_4001.JPG"},
       "DSC_4001.CR3"},
      {"two raws of its name: no guess", {"DSC_4001.CR3", "DSC_4001.NEF"}, ""},
      {"two of its name: no guess", {"DSC_4001.TIF", "DSC_4001.JPG"}, ""},
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

// Raw files are offered first, beside every file; a suggestion that is no raw opens on every file,
// where it can be seen.
TEST_F(WindowTest, TheChoosePanelOffersRawFilesFirstUnlessItSuggestsAnotherFile) {
  const struct {
    const char* name;
    const char* original;  // the one file in the panel's folder, or none
    std::size_t initialFilter;
  } cases[] = {
      {"a raw suggested", "DSC_4001.NEF", 0},
      {"nothing suggested", "", 0},
      {"a JPEG suggested", "DSC_4001.jpeg", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir folder;
    if (*c.original) testing::writeFile(folder / c.original, "original");
    testing::FakeToolkit toolkit;
    toolkit.folders[PanelFolder::originals] = folder.path();
    BridgeApp app(toolkit);
    app.append({render("DSC_4001.jpg")});
    toolkit.panelAnswers.push_back(std::nullopt);
    app.chooseOriginal();
    ASSERT_EQ(toolkit.panels.size(), 1u);
    const auto& filters = toolkit.panels[0].filters;
    ASSERT_EQ(filters.size(), 2u);
    EXPECT_EQ(filters[0].name, "RAW 原片");
    for (const char* extension : {"dng", "nef", "cr2", "cr3", "arw", "raf", "orf", "rw2", "pef",
                                  "srw", "iiq", "3fr", "x3f", "gpr"}) {
      EXPECT_NE(std::find(filters[0].extensions.begin(), filters[0].extensions.end(), extension),
                filters[0].extensions.end())
          << extension;
    }
    EXPECT_EQ(std::find(filters[0].extensions.begin(), filters[0].extensions.end(), "jpg"),
              filters[0].extensions.end());
    EXPECT_EQ(filters[1].name, "所有文件");
    EXPECT_TRUE(filters[1].extensions.empty());
    EXPECT_EQ(toolkit.panels[0].initialFilter, c.initialFilter);
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
