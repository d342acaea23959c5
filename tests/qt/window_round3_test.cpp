// The window beyond its Parts, third round: the comparison view that acts as well as shows, a
// table that grows with the window and takes several rows at once, and the larger look beside
// the row.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTableView>
#include <QTest>
#include <QWheelEvent>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "qt_fixture.h"

namespace quillmere {
namespace {

using namespace qt_testing;

class Round3Test : public WindowTest {
 protected:
  QTableView& table() { return *window().table(); }
  // Renders large enough that their pictures take a while, named DSC_<n>.jpg.
  Strings photos(int count) {
    Strings paths;
    for (int i = 0; i < count; ++i) {
      paths.push_back(m_dir / numbered("DSC_", i, ".jpg"));
      writeFile(paths.back(), testing::jpegImage(1200, 800, i));
    }
    return paths;
  }
  void startWith(const Strings& renders) {
    start(renders);
    ASSERT_TRUE(waitUntil([&] { return model().rowCount() == static_cast<int>(renders.size()); }));
  }
  ComparisonView& openComparison(int row) {
    activate(window(), table());
    m_session->toolkit().selectRow(row);
    QTest::keyClick(&table(), Qt::Key_Space);
    return m_session->comparison();
  }
};

// --- the comparison view acts on the pair it shows

TEST_F(Round3Test, InTheComparisonViewEnterPairsDeleteRemovesCtrlZUndoesAndHomeEndJump) {
  const Strings renders = photos(4);
  startWith(renders);
  const std::string original = m_dir / "DSC_1.CR3";
  writeFile(original, testing::jpegImage(600, 400, 7));
  ComparisonView& view = openComparison(1);
  ASSERT_TRUE(view.isVisible());

  // Home and End go to the first and the last pair, the table following.
  const struct {
    Qt::Key key;
    int row;
  } jumps[] = {{Qt::Key_End, 3}, {Qt::Key_End, 3}, {Qt::Key_Home, 0}, {Qt::Key_Home, 0}};
  for (const auto& jump : jumps) {
    QTest::keyClick(&view, jump.key);
    EXPECT_EQ(view.row(), jump.row);
    EXPECT_EQ(m_session->toolkit().selectedRow(), jump.row);
  }

  // Enter opens the choice of original for the pair shown; the view stays on it, with its new
  // original, and the pairing is in the list.
  QTest::keyClick(&view, Qt::Key_Right);
  {
    ModalAnswerer answerer;
    answerer.fileAnswers.push_back(ModalAnswerer::choose(original, [&](QFileDialog& dialog) {
      EXPECT_TRUE(dialog.windowTitle().contains(u8("DSC_1.jpg"))) << "the pair shown";
      EXPECT_EQ(dialog.parentWidget(), &view) << "over the view, never behind it";
    }));
    QTest::keyClick(&view, Qt::Key_Return);
    EXPECT_TRUE(answerer.fileAnswers.empty());
  }
  EXPECT_TRUE(view.isVisible());
  EXPECT_EQ(view.row(), 1);
  EXPECT_EQ(view.originalName()->text(), u8("DSC_1.CR3"));
  EXPECT_EQ(cell(1, 1), "DSC_1.CR3");
  EXPECT_EQ(m_session->toolkit().selectedRow(), 1);

  // Delete takes the pair shown off the list; the view shows the one that took its place.
  QTest::keyClick(&view, Qt::Key_Delete);
  EXPECT_EQ(model().rowCount(), 3);
  EXPECT_EQ(view.row(), 1);
  EXPECT_EQ(view.renderName()->text(), u8("DSC_2.jpg"));
  // Ctrl+Z, in the view too, brings it back with its original; then the pairing is undone.
  QTest::keyClick(&view, Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(model().rowCount(), 4);
  EXPECT_EQ(view.row(), 1);
  EXPECT_EQ(view.renderName()->text(), u8("DSC_1.jpg"));
  EXPECT_EQ(cell(1, 1), "DSC_1.CR3");
  QTest::keyClick(&view, Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(cell(1, 1), "请选择原照片");
  EXPECT_EQ(view.originalPicture()->text(), u8("请选择原照片"));

  // Removing the last pair left closes the view.
  for (int left = 4; left > 0; --left) {
    ASSERT_TRUE(view.isVisible()) << left;
    QTest::keyClick(&view, Qt::Key_Backspace);
  }
  EXPECT_EQ(model().rowCount(), 0);
  EXPECT_FALSE(view.isVisible());
}

TEST_F(Round3Test, SteppingOnKeepsTheLastPicturesDimmedUntilTheNextAreInNeverABlank) {
  startWith(photos(3));
  ComparisonView& view = openComparison(0);
  ASSERT_TRUE(waitUntil([&] { return view.isComplete(); }));
  const QImage first = view.renderPicture()->pixmap().toImage();
  ASSERT_FALSE(first.isNull());

  // The last row's pictures were never asked for: right after the key, they are on their way,
  // and the first row's picture stays on screen, dimmed, its caption saying so.
  QTest::keyClick(&view, Qt::Key_End);
  ASSERT_EQ(view.row(), 2);
  EXPECT_FALSE(view.isComplete());
  EXPECT_TRUE(view.isRenderStale());
  const QPixmap kept = view.renderPicture()->pixmap();
  ASSERT_FALSE(kept.isNull()) << "never a blank while the next picture comes";
  EXPECT_EQ(kept.size(), first.size());
  EXPECT_NE(kept.toImage(), first) << "dimmed, never taken for the new pair's";
  const auto role = view.findChild<QLabel*>(QStringLiteral("comparisonRenderRole"));
  ASSERT_NE(role, nullptr);
  EXPECT_TRUE(role->text().contains(u8("正在载入…"))) << role->text().toStdString();
  EXPECT_EQ(view.renderName()->text(), u8("DSC_2.jpg")) << "the name is the new pair's";

  // Once the new picture is in, it replaces the kept one and the caption is plain again.
  ASSERT_TRUE(waitUntil([&] { return view.isComplete(); }));
  EXPECT_FALSE(view.isRenderStale());
  EXPECT_EQ(role->text(), u8("导出的照片"));
  EXPECT_NE(view.renderPicture()->pixmap().toImage(), kept.toImage());

  QTest::keyClick(&view, Qt::Key_Escape);
}

// --- the larger look beside the row

TEST_F(Round3Test, TheLargerLookStandsBesideTheListAtFullSizeFollowsAScrollAndLetsEveryClickThrough) {
  Strings renders;
  for (int i = 0; i < 30; ++i) renders.push_back(render(numbered("r", i, ".png"), i));
  startWith(renders);
  // The window at the very top of the screen: the first row is as high as a row can be.
  window().move(window().screen()->availableGeometry().topLeft());
  activate(window(), table());
  PairPreview& preview = m_session->preview();
  QWidget* viewport = table().viewport();
  const auto at = [&](int row) { return table().visualRect(model().index(row, 0)).center(); };
  const QRect list(table().mapToGlobal(QPoint(0, 0)), table().size());
  const QRect headline(window().headline()->mapToGlobal(QPoint(0, 0)),
                       window().headline()->size());
  const auto picture = [&] {
    return preview.findChild<QLabel*>(QStringLiteral("renderPicture"))->size();
  };

  const QPoint pointer = at(0);
  QTest::mouseMove(viewport, pointer);
  ASSERT_TRUE(waitUntil([&] { return preview.isVisible(); }));
  EXPECT_EQ(preview.render(), QString::fromStdString(renders[0]));
  EXPECT_EQ(picture(), QSize(layout::kPreviewSide, layout::kPreviewSide)) << "near the top too";
  EXPECT_FALSE(preview.frameGeometry().intersects(list));
  EXPECT_FALSE(preview.frameGeometry().intersects(headline));
  EXPECT_TRUE(window().screen()->availableGeometry().contains(preview.frameGeometry()));

  // The wheel moves other rows under the resting pointer: the look at the first row goes, and the
  // row now under the pointer gets its own after a rest.
  const int before = table().indexAt(pointer).row();
  QWheelEvent wheel(QPointF(pointer), QPointF(viewport->mapToGlobal(pointer)), QPoint(),
                    QPoint(0, -120 * 3), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(viewport, &wheel);
  const int under = table().indexAt(pointer).row();
  ASSERT_NE(under, before) << "the wheel scrolled";
  EXPECT_FALSE(preview.isVisible()) << "the row it showed has left the pointer";
  ASSERT_TRUE(waitUntil([&] { return preview.isVisible(); }));
  EXPECT_EQ(preview.render(), QString::fromStdString(renders[static_cast<std::size_t>(under)]));

  // A click on a neighbouring row while the look shows lands on the list (the first click of a
  // double click is never lost) and puts the look away.
  const int neighbour = under + 1;
  const QPoint there = table().visualRect(model().index(neighbour, 1)).center();
  EXPECT_FALSE(preview.frameGeometry().contains(viewport->mapToGlobal(there)));
  QTest::mouseClick(viewport, Qt::LeftButton, {}, there);
  EXPECT_EQ(m_session->toolkit().selectedRow(), neighbour);
  EXPECT_FALSE(preview.isVisible());
}

// --- the table: larger with the window, several rows at once

TEST_F(Round3Test, ALargerWindowGivesTheTableItsRoomColumnsFillItAndTheSizeIsRemembered) {
  Strings renders;
  for (int i = 0; i < 20; ++i) renders.push_back(render(numbered("r", i, ".png"), i));
  startWith(renders);
  const QSize least = window().size();
  const QRect tableAt = table().geometry();
  const int visibleRows = table().viewport()->height() / layout::kRowHeight;

  window().resize(least + QSize(300, 400));
  ASSERT_TRUE(waitUntil([&] { return window().size() == least + QSize(300, 400); }));
  QApplication::processEvents();
  // The table takes all the new room; the controls above keep their place, those below follow.
  EXPECT_EQ(table().geometry(), tableAt.adjusted(0, 0, 300, 400));
  EXPECT_GE(table().viewport()->height() / layout::kRowHeight, visibleRows + 12);
  EXPECT_EQ(window().saveButton()->parentWidget()->geometry().top(),
            table().geometry().bottom() + 1 + 16);
  EXPECT_EQ(window().message()->width(), table().width());
  // Both columns fill the width, header and rows alike: no strip after the last one.
  QHeaderView& header = *table().horizontalHeader();
  EXPECT_EQ(header.sectionSize(0) + header.sectionSize(1), table().viewport()->width());
  EXPECT_LE(std::abs(header.sectionSize(0) - header.sectionSize(1)), 1);
  EXPECT_EQ(table().visualRect(model().index(0, 1)).right() + 1, table().viewport()->width());

  // Smaller than its least it never gets.
  window().resize(QSize(300, 200));
  QApplication::processEvents();
  EXPECT_EQ(window().size(), least);

  // The size the window was left at is the size it opens at next time (within the screen).
  const QSize left = least.expandedTo(window().screen()->availableGeometry().size() - QSize(0, 40));
  ASSERT_GT(left.height(), least.height());
  window().resize(left);
  ASSERT_TRUE(waitUntil([&] { return window().size() == left; }));
  m_session.reset();
  startWith({render("a.png")});
  EXPECT_EQ(window().size(), left);
  m_session->toolkit().rememberWindowSize({});
}

TEST_F(Round3Test, ShiftAndCtrlSelectSeveralRowsThatLeaveTogetherAndComeBackWithOneUndo) {
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
}  // namespace quillmere
