// Beyond one original at a time: removing renders, pairing several originals by their file names,
// the panel's suggestion, how a pairing of different names is shown, and where panels open.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
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

std::string pairedMessage(int paired, int left) {
  return "已按文件名配对 " + std::to_string(paired) + " 张照片；还有 " + std::to_string(left) +
         " 张尚未配对。";
}

// --- removing

TEST_F(WindowTest, RemovingTakesTheSelectedRenderAndItsPairingOffTheList) {
  const Strings list = renders(4);
  m_app->append(list);
  pair(1, m_dir / "o1.iiq");
  pair(2, m_dir / "o2.iiq");
  pair(3, m_dir / "o3.iiq");
  EXPECT_FALSE(m_toolkit.saveEnabled);

  // The unpaired render that blocked saving goes; the one below takes its row.
  m_toolkit.selected = 0;
  m_app->removeSelected();
  EXPECT_EQ(m_app->renders(), (Strings{list[1], list[2], list[3]}));
  EXPECT_EQ(m_toolkit.selected, 0);
  EXPECT_TRUE(m_toolkit.saveEnabled);

  // The last row: the new last one is selected, and the pairing goes with its render.
  m_toolkit.selected = 2;
  m_app->removeSelected();
  EXPECT_EQ(m_app->renders(), (Strings{list[1], list[2]}));
  EXPECT_FALSE(m_app->originals().contains(list[3]));
  EXPECT_EQ(m_toolkit.selected, 1);

  // Added again, it comes back without its old original.
  m_app->append({list[3]});
  EXPECT_EQ(m_app->cellText(2, "source"), "请选择原照片");
  EXPECT_FALSE(m_toolkit.saveEnabled);

  for (const auto& kept : {list[1], list[2]}) {
    m_toolkit.selected = 0;
    m_app->removeSelected();
    EXPECT_FALSE(m_app->originals().contains(kept));
  }
  m_app->removeSelected();
  EXPECT_TRUE(m_app->renders().empty());
  EXPECT_TRUE(m_app->originals().empty());
  EXPECT_FALSE(m_toolkit.saveEnabled) << "an empty list never enables saving";
  EXPECT_TRUE(m_toolkit.alerts.empty());
}

TEST_F(WindowTest, RemovingWithoutASelectedRowDoesNothing) {
  const Strings list = renders(2);
  m_app->append(list);
  const int reloads = m_toolkit.reloads;
  for (int row : {-1, 2}) {
    m_toolkit.selected = row;
    m_app->removeSelected();
  }
  EXPECT_EQ(m_app->renders(), list);
  EXPECT_EQ(m_toolkit.reloads, reloads);
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

TEST_F(WindowTest, ThePairingCountGivesWayToTheInitialTextOnceTheListChangesAgain) {
  const std::string initial =
      "从 Capture One 导出 JPEG、TIFF 或 PNG 后，在这里选择对应的原照片。"
      "原照片只用于确认对应关系，不会被修改。";
  using Change = std::function<void(BridgeApp&, testing::FakeToolkit&)>;
  const struct {
    const char* name;
    Change change;
    bool countStays;
  } cases[] = {
      {"another original for one render",
       [&](BridgeApp& app, testing::FakeToolkit& toolkit) {
         toolkit.selected = 1;
         toolkit.panelAnswers.push_back(Strings{m_dir / "x.CR3"});
         app.chooseOriginal();
       },
       false},
      {"a render removed", [](BridgeApp& app, testing::FakeToolkit&) { app.removeSelected(); },
       false},
      {"a render added",
       [&](BridgeApp& app, testing::FakeToolkit&) { app.append({render("c.png", 2)}); }, false},
      {"a refused file changes nothing",
       [&](BridgeApp& app, testing::FakeToolkit&) { app.append({file("bad.png", "x")}); }, true},
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
    EXPECT_EQ(toolkit.message, c.countStays ? pairedMessage(1, 1) : initial);
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
  EXPECT_EQ(m_toolkit.message, "before") << "no count for a single choice";
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

// --- where panels open

TEST_F(WindowTest, EachPanelOpensInItsOwnRememberedFolderAndTheFirstSaveBesideTheRenders) {
  fs::create_directories(m_dir / "exports");
  const std::string a = m_dir / "exports/a.png";
  testing::writeFile(a, testing::pngImage(4, 3));
  m_toolkit.panelAnswers.push_back(Strings{a});
  m_app->addRenders();
  EXPECT_EQ(m_toolkit.panels.back().folder, "") << "nothing remembered yet";
  EXPECT_EQ(m_toolkit.folders[PanelFolder::renders], m_dir / "exports");
  m_toolkit.panelAnswers.push_back(std::nullopt);
  m_app->addRenders();
  EXPECT_EQ(m_toolkit.panels.back().folder, m_dir / "exports");

  pair(0, m_dir / "raw/a.CR3");
  m_toolkit.panelAnswers.push_back(std::nullopt);
  m_app->save();
  EXPECT_EQ(m_toolkit.panels.back().folder, m_dir / "exports") << "never among the originals";

  m_toolkit.folders[PanelFolder::destination] = m_dir / "batches";
  m_toolkit.panelAnswers.push_back(std::nullopt);
  m_app->save();
  EXPECT_EQ(m_toolkit.panels.back().folder, m_dir / "batches");
}

}  // namespace
}  // namespace quillmere
