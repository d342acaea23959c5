// Beyond one original at a time: removing renders, and where panels open.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "window_logic/bridge_app.h"
#include "window_fixture.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using testing::WindowTest;
using Strings = std::vector<std::string>;

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
