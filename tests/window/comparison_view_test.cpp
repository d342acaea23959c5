// The comparison view: the pair side by side as large as the screen allows, its pictures made
// ahead, and acting in it on the pair it shows.

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QHelpEvent>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTableView>
#include <QTest>
#include <QThread>
#include <QThreadPool>
#include <QToolTip>
#include <QWheelEvent>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qt_fixture.h"
#include "transfer/create_batch.h"
#include "window/render_item_delegate.h"

namespace quillmere::qt_testing {
namespace {

namespace fs = std::filesystem;

TEST_F(PairedWindowTest, SpaceOrADoubleClickOnAPictureComparesThePairAsLargeAsTheScreenAllows) {
  const std::string long1 = "DSC_1234 第三次调色 给客户确认的版本 第二稿 最终.jpg";
  writeFile(m_dir / long1, testing::jpegImage(1200, 800));
  writeFile(m_dir / "DSC_2.jpg", testing::jpegImage(800, 1200, 1));
  writeFile(m_dir / "DSC_3.jpg", testing::jpegImage(900, 600, 2));
  start({m_dir / long1, m_dir / "DSC_2.jpg", m_dir / "DSC_3.jpg"});
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 3; }));
  writeFile(m_dir / "DSC_1234.CR3",
            testing::dngLikeImage(testing::jpegImage(1200, 800, 5), 1200, 800, true, 512, 384));
  m_session->toolkit().selectRow(0);
  {
    ModalAnswerer answerer;
    answerer.fileAnswers.push_back(ModalAnswerer::choose(m_dir / "DSC_1234.CR3"));
    window().chooseButton()->click();
  }
  ComparisonView& view = m_session->comparison();
  activate(window(), table());
  m_session->toolkit().selectRow(0);
  QTest::keyClick(&table(), Qt::Key_Space);
  ASSERT_TRUE(view.isVisible());
  EXPECT_EQ(view.row(), 0);
  EXPECT_EQ(QApplication::activeModalWidget(), &view);
  const QRect available = window().screen()->availableGeometry();
  EXPECT_EQ(view.geometry(), available) << "as large as the screen's available area";
  const QSize box = view.pictureBox();
  EXPECT_GT(box.width(), available.width() * 2 / 5) << "each picture fits half of it";
  EXPECT_LE(box.width(), available.width() / 2);
  EXPECT_GT(box.height(), available.height() * 3 / 5);
  ASSERT_TRUE(waitUntil([&] { return view.isComplete(); }));
  const QSize render = view.renderPicture()->pixmap().deviceIndependentSize().toSize();
  const QSize original = view.originalPicture()->pixmap().deviceIndependentSize().toSize();
  EXPECT_EQ(render, QSize(1200, 800).scaled(box, Qt::KeepAspectRatio));
  EXPECT_EQ(original, QSize(1200, 800).scaled(box, Qt::KeepAspectRatio))
      << "the original's embedded preview, reduced";
  // Long names keep their start and their extension.
  const QString name = view.renderName()->text();
  EXPECT_TRUE(name.startsWith(QStringLiteral("DSC_1234"))) << name.toStdString();
  EXPECT_TRUE(name.endsWith(QStringLiteral(".jpg"))) << name.toStdString();
  EXPECT_EQ(view.originalName()->text(), QStringLiteral("DSC_1234.CR3"));

  // Left and Right, Up and Down step through the pairs, the table following.
  const struct {
    Qt::Key key;
    int row;
  } steps[] = {{Qt::Key_Right, 1}, {Qt::Key_Down, 2}, {Qt::Key_Down, 2},
               {Qt::Key_Left, 1},  {Qt::Key_Up, 0},   {Qt::Key_Up, 0}};
  for (const auto& step : steps) {
    QTest::keyClick(&view, step.key);
    EXPECT_EQ(view.row(), step.row);
    EXPECT_EQ(m_session->toolkit().selectedRow(), step.row);
    // The pictures' room is the same whatever the names under them: a Chinese name never makes
    // the pictures be made again at another size.
    QApplication::processEvents();
    EXPECT_EQ(view.pictureBox(), box);
  }
  QTest::keyClick(&view, Qt::Key_Right);
  ASSERT_TRUE(waitUntil([&] { return view.isComplete(); }));
  EXPECT_EQ(view.originalPicture()->text(), u8("请选择原照片")) << "row 1 has no original yet";

  // Escape, Space or a click closes it; the table has the keyboard again, on the row compared.
  const struct {
    const char* name;
    std::function<void()> close;
  } closers[] = {
      {"Escape", [&] { QTest::keyClick(&view, Qt::Key_Escape); }},
      {"Space", [&] { QTest::keyClick(&view, Qt::Key_Space); }},
      {"a click", [&] { QTest::mouseClick(&view, Qt::LeftButton, {}, view.rect().center()); }},
  };
  for (const auto& closer : closers) {
    SCOPED_TRACE(closer.name);
    if (!view.isVisible()) {
      activate(window(), table());
      QTest::keyClick(&table(), Qt::Key_Space);
    }
    ASSERT_TRUE(view.isVisible());
    closer.close();
    EXPECT_FALSE(view.isVisible());
    EXPECT_EQ(m_session->toolkit().selectedRow(), 1);
  }

  // A double click on a picture compares; elsewhere in the row it pairs, as before.
  activate(window(), table());
  QTest::mouseDClick(table().viewport(), Qt::LeftButton, {}, slot(2, 0).center());
  ASSERT_TRUE(view.isVisible());
  EXPECT_EQ(view.row(), 2);
  QTest::keyClick(&view, Qt::Key_Escape);
}

TEST_F(PairedWindowTest, ARowTheSelectionRestsOnHasItsComparisonPicturesMadeAhead) {
  writeFile(m_dir / "DSC_1.jpg", testing::jpegImage(1200, 800));
  writeFile(m_dir / "DSC_2.jpg", testing::jpegImage(1200, 800, 1));
  writeFile(m_dir / "DSC_3.jpg", testing::jpegImage(1200, 800, 2));
  start({m_dir / "DSC_1.jpg", m_dir / "DSC_2.jpg", m_dir / "DSC_3.jpg"});
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 3; }));
  activate(window(), table());
  ComparisonView& view = m_session->comparison();
  // Heard from the start, so that the third row's picture is never made unseen.
  const QString third = QString::fromStdString(m_dir / "DSC_3.jpg");
  bool madeAhead = false;
  QObject listener;
  QObject::connect(&m_session->largePictures(), &ThumbnailCache::pictureReady, &listener,
                   [&](const QString& path) { madeAhead = madeAhead || path == third; });
  // Without a rest, the view opens before its pictures are in.
  m_session->toolkit().selectRow(1);
  QTest::keyClick(&table(), Qt::Key_Space);
  ASSERT_TRUE(view.isVisible());
  EXPECT_FALSE(view.isComplete());
  QTest::keyClick(&view, Qt::Key_Escape);
  // After one, they are there at once: the view opens once the picture made ahead is in.
  m_session->toolkit().selectRow(2);
  ASSERT_TRUE(waitUntil([&] { return madeAhead; }));
  QTest::keyClick(&table(), Qt::Key_Space);
  ASSERT_TRUE(view.isVisible());
  EXPECT_EQ(view.row(), 2);
  EXPECT_TRUE(view.isComplete()) << "made while the selection rested on the row";
  QTest::keyClick(&view, Qt::Key_Escape);
}

TEST_F(PhotoWindowTest, InTheComparisonViewEnterPairsDeleteRemovesCtrlZUndoesAndHomeEndJump) {
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

TEST_F(PhotoWindowTest, SteppingOnKeepsTheLastPicturesDimmedUntilTheNextAreInNeverABlank) {
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

}  // namespace
}  // namespace quillmere::qt_testing
