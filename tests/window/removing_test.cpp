// Removing renders from the list, several at once, and putting them back with Ctrl+Z.

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QBoxLayout>
#include <QBuffer>
#include <QContextMenuEvent>
#include <QDeadlineTimer>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QHeaderView>
#include <QHelpEvent>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QToolTip>
#include <QUrl>
#include <QWheelEvent>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qt_fixture.h"
#include "support/images.h"
#include "support/temp_dir.h"
#include "transfer/create_batch.h"
#include "window/render_item_delegate.h"
#include "window/window_session.h"

namespace quillmere::qt_testing {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::writeFile;

TEST_F(WindowTest, DeleteBackspaceAndTheTablesMenuRemoveTheSelectedRender) {
  start({render("a.png"), render("b.png", 1), render("c.png", 2), render("d.png", 3)});
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 4; }));
  activate(window(), *window().table());
  m_session->toolkit().selectRow(1);
  QTest::keyClick(window().table(), Qt::Key_Delete);
  EXPECT_EQ(model().rowCount(), 3);
  EXPECT_EQ(cell(1, 0), "c.png");
  EXPECT_EQ(m_session->toolkit().selectedRow(), 1) << "the next render takes the removed one's row";
  QTest::keyClick(window().table(), Qt::Key_Backspace);
  EXPECT_EQ(cell(1, 0), "d.png");

  ASSERT_TRUE(window().table()->actions().contains(window().removeAction()));
  EXPECT_EQ(window().table()->contextMenuPolicy(), Qt::ActionsContextMenu);
  EXPECT_EQ(window().removeAction()->text(), u8("从列表中移除"));
  window().removeAction()->trigger();
  EXPECT_EQ(model().rowCount(), 1);
  EXPECT_EQ(cell(0, 0), "a.png");
}

TEST_F(PairedWindowTest, CtrlZPutsTheLastRemovedRenderBackWithItsOriginal) {
  startPaired({render("a.png"), render("b.png", 1), render("c.png", 2)});
  activate(window(), table());
  EXPECT_TRUE(window().undoAction()->isEnabled()) << "the pairings can be undone";
  m_session->toolkit().selectRow(1);
  QTest::keyClick(&table(), Qt::Key_Delete);
  ASSERT_EQ(model().rowCount(), 2);
  EXPECT_TRUE(window().undoAction()->isEnabled());
  EXPECT_EQ(window().undoAction()->text(), u8("撤销"));
  // From anywhere in the window.
  activate(window(), *window().addButton());
  QTest::keyClick(window().addButton(), Qt::Key_Z, Qt::ControlModifier);
  ASSERT_EQ(model().rowCount(), 3);
  EXPECT_EQ(cell(1, 0), "b.png");
  EXPECT_EQ(cell(1, 1), "o1.CR3") << "with its original";
  EXPECT_EQ(m_session->toolkit().selectedRow(), 1);
  EXPECT_TRUE(window().saveButton()->isEnabled());
  // Then the latest pairing, the third row's.
  EXPECT_TRUE(window().undoAction()->isEnabled());
  QTest::keyClick(window().addButton(), Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(cell(2, 1), "请选择原照片");
  EXPECT_EQ(m_session->toolkit().selectedRow(), 2);
  EXPECT_FALSE(window().saveButton()->isEnabled());
}

TEST_F(PhotoWindowTest, ShiftAndCtrlSelectSeveralRowsThatLeaveTogetherAndComeBackWithOneUndo) {
  Strings renders;
  for (int i = 0; i < 6; ++i) renders.push_back(render(numbered("r", i, ".png"), i));
  startWith(renders);
  activate(window(), table());
  QWidget* viewport = table().viewport();
  const auto at = [&](int row) { return table().visualRect(model().index(row, 0)).center(); };
  QTest::mouseClick(viewport, Qt::LeftButton, {}, at(1));
  QTest::mouseClick(viewport, Qt::LeftButton, Qt::ShiftModifier, at(3));
  QTest::mouseClick(viewport, Qt::LeftButton, Qt::ControlModifier, at(5));
  EXPECT_EQ(m_session->toolkit().selectedRows(), (std::vector<int>{1, 2, 3, 5}));
  EXPECT_EQ(m_session->toolkit().selectedRow(), 5) << "the row with the focus";

  QTest::keyClick(&table(), Qt::Key_Delete);
  ASSERT_EQ(model().rowCount(), 2);
  EXPECT_EQ(cell(0, 0), "r0.png");
  EXPECT_EQ(cell(1, 0), "r4.png");
  EXPECT_EQ(m_session->toolkit().selectedRows(), (std::vector<int>{1}));

  QTest::keyClick(&table(), Qt::Key_Z, Qt::ControlModifier);
  ASSERT_EQ(model().rowCount(), 6);
  for (int row = 0; row < 6; ++row) EXPECT_EQ(cell(row, 0), numbered("r", row, ".png"));
  EXPECT_EQ(m_session->toolkit().selectedRow(), 1);
  EXPECT_FALSE(window().undoAction()->isEnabled()) << "one step, all undone";
}

}  // namespace
}  // namespace quillmere::qt_testing
