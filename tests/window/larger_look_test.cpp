// The larger look at a row's pair, beside the list once the pointer has rested on the row.

#include <QAction>
#include <QApplication>
#include <QBoxLayout>
#include <QDeadlineTimer>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QHeaderView>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QToolTip>
#include <QUrl>
#include <QWheelEvent>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qt_fixture.h"
#include "support/images.h"
#include "support/temp_dir.h"
#include "transfer/create_batch.h"
#include "window/main_window.h"
#include "window/pair_preview.h"
#include "window/render_item_delegate.h"
#include "window/window_session.h"

namespace quillmere::qt_testing {
namespace {

using testing::TempDir;
using testing::writeFile;

TEST_F(WindowTest, ThePointerRestingOnARowShowsItsPairLargerAfterASecond) {
  const std::string photo = m_dir / "DSC_1.jpg";
  writeFile(photo, testing::jpegImage(600, 400));
  writeFile(m_dir / "DSC_1.CR3", testing::jpegImage(400, 600, 1));
  start({photo, render("b.png")});
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 2; }));
  ModalAnswerer answerer;
  answerer.fileAnswers.push_back(ModalAnswerer::choose(m_dir / "DSC_1.CR3"));
  m_session->toolkit().selectRow(0);
  window().chooseButton()->click();
  ASSERT_TRUE(waitUntil([&] { return answerer.fileAnswers.empty(); }));
  PairPreview& preview = m_session->preview();
  const auto shown = [&](const char* name) {
    return preview.findChild<QLabel*>(QString::fromLatin1(name))->pixmap().size();
  };
  activate(window(), *window().table());
  QWidget* viewport = window().table()->viewport();

  // The pointer comes to rest on the first row: nothing for a while, then its pair.
  const QRect first = window().table()->visualRect(model().index(0, 0));
  // The rest is the window's single-shot timer of a second; the look comes from its end alone.
  QTimer* rest = nullptr;
  for (QTimer* timer : window().findChildren<QTimer*>()) {
    if (timer->isSingleShot() && timer->interval() == 1000) rest = timer;
  }
  ASSERT_NE(rest, nullptr) << "a rest of a second";
  QSignalSpy restEnded(rest, &QTimer::timeout);
  QTest::mouseMove(viewport, first.center());
  EXPECT_TRUE(rest->isActive());
  EXPECT_FALSE(preview.isVisible()) << "not before the pointer has rested a second";
  ASSERT_TRUE(waitUntil([&] { return preview.isVisible(); }));
  EXPECT_EQ(restEnded.count(), 1) << "shown when the rest ended, not before";
  EXPECT_EQ(preview.render(), QString::fromStdString(photo));
  EXPECT_EQ(preview.original(), QString::fromStdString(m_dir / "DSC_1.CR3"));
  ASSERT_TRUE(waitUntil(
      [&] { return !shown("renderPicture").isEmpty() && !shown("originalPicture").isEmpty(); }));
  // At its full size, square, beside the list: never over the row, its neighbours or the headline.
  const QSize larger = shown("renderPicture");
  EXPECT_EQ(larger.width(), larger.height());
  EXPECT_EQ(larger.width(), layout::kPreviewSide);
  const QRect list(window().table()->mapToGlobal(QPoint(0, 0)), window().table()->size());
  const QRect headline(window().headline()->mapToGlobal(QPoint(0, 0)),
                       window().headline()->size());
  EXPECT_FALSE(preview.frameGeometry().intersects(list)) << "the list stays in sight";
  EXPECT_FALSE(preview.frameGeometry().intersects(headline));
  EXPECT_TRUE(preview.isWindow());
  EXPECT_TRUE(preview.testAttribute(Qt::WA_ShowWithoutActivating));
  EXPECT_TRUE(preview.windowFlags() & Qt::WindowTransparentForInput) << "clicks go through";
  EXPECT_TRUE(window().isActiveWindow()) << "the larger look takes no activation";
  EXPECT_TRUE(window().table()->hasFocus()) << "the larger look takes no focus";

  // While it shows, the path's tooltip goes (it fades as tooltips do) and is held back; without
  // it, the tooltip comes as before.
  EXPECT_TRUE(waitUntil([] { return !QToolTip::isVisible(); }));
  QHelpEvent help(QEvent::ToolTip, first.center(), viewport->mapToGlobal(first.center()));
  QApplication::sendEvent(viewport, &help);
  QApplication::processEvents();
  EXPECT_FALSE(QToolTip::isVisible());
  QTest::keyClick(window().table(), Qt::Key_Down);
  EXPECT_FALSE(preview.isVisible()) << "a key puts it away";
  QHelpEvent again(QEvent::ToolTip, first.center(), viewport->mapToGlobal(first.center()));
  QApplication::sendEvent(viewport, &again);
  EXPECT_TRUE(QToolTip::isVisible());
  EXPECT_EQ(QToolTip::text(), QString::fromStdString(photo));
  QToolTip::hideText();

  // Resting on the second row, which has no original yet, shows its render alone.
  const QRect second = window().table()->visualRect(model().index(1, 0));
  QTest::mouseMove(viewport, second.center());
  ASSERT_TRUE(waitUntil([&] { return preview.isVisible(); }));
  EXPECT_EQ(preview.render(), QString::fromStdString(m_dir / "b.png"));
  EXPECT_TRUE(preview.original().isEmpty());
  // Moving on to another row puts it away at once.
  QTest::mouseMove(viewport, first.center());
  EXPECT_FALSE(preview.isVisible());
}

TEST_F(PhotoWindowTest, TheLargerLookStandsBesideTheListAtFullSizeFollowsAScrollAndLetsEveryClickThrough) {
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

// The window as it first opens, on screens of several sizes and at several places: the look keeps
// its 256-pixel pictures wherever the screen leaves room for them beside the list or over its
// right part, and never covers the header, the row, the buttons or a tooltip. On a 1440x900 screen
// with the window centred it used to shrink into the 320 pixels beside it (149-pixel pictures);
// on 1280x800 it lay over the header and the buttons.
TEST_F(PairingWindowTest, TheLargerLookFindsRoomForFullSizePicturesAroundTheWindowAsItFirstOpens) {
  Strings renders;
  for (int i = 0; i < 12; ++i) renders.push_back(render(numbered("DSC_", i, ".png"), i));
  start(renders);
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 12; }));
  // The size it first opens at, whatever size an earlier test left remembered.
  window().resize(window().minimumSize());
  QApplication::processEvents();
  ASSERT_EQ(table().width(), layout::kContentWidth);
  const QRect frame(QPoint(0, 0), window().frameGeometry().size());
  const QPoint inside = window().geometry().topLeft() - window().frameGeometry().topLeft();
  const QRect list = inWindow(table()).translated(inside);
  const QRect header = inWindow(*table().horizontalHeader()).translated(inside);
  QRect buttons;
  for (const QWidget* button : {window().addButton(), window().chooseButton(), window().saveButton()}) {
    buttons = buttons.united(inWindow(*button).translated(inside));
  }
  const int rowHeight = table().rowHeight(0);
  const int visibleRows = (list.bottom() - header.bottom()) / rowHeight;
  ASSERT_GE(visibleRows, 6);
  const QSize full = m_session->preview().sizeHint();
  const QSize chrome(full.width() - 2 * layout::kPreviewSide, full.height() - layout::kPreviewSide);

  enum class Where { centred, topLeft, rightEdge };
  enum class Tip { none, underPointer };
  const struct {
    const char* name;
    QSize screen;
    Where where;
    int row;  // in sight, from the top
    Tip tip;
    int leastSide;
  } cases[] = {
      {"1440x900, centred, first row", {1440, 900}, Where::centred, 0, Tip::none, 256},
      {"1440x900, centred, fourth row", {1440, 900}, Where::centred, 3, Tip::none, 256},
      {"1440x900, centred, tooltip under the pointer", {1440, 900}, Where::centred, 0,
       Tip::underPointer, 256},
      {"1280x800, centred, first row", {1280, 800}, Where::centred, 0, Tip::none, 256},
      {"1280x800, centred, fourth row", {1280, 800}, Where::centred, 3, Tip::none, 256},
      {"1280x800, centred, tooltip under the pointer", {1280, 800}, Where::centred, 1,
       Tip::underPointer, 256},
      {"1920x1080, top left, beside", {1920, 1080}, Where::topLeft, 0, Tip::none, 256},
      {"1920x1080, at the right edge, beside on the left", {1920, 1080}, Where::rightEdge, 2,
       Tip::none, 256},
      // The lowest rows leave less room above and below them than a full look needs.
      {"1440x900, centred, last row in sight", {1440, 900}, Where::centred, visibleRows - 1,
       Tip::none, 200},
      {"1024x600, centred, last row in sight", {1024, 600}, Where::centred, visibleRows - 1,
       Tip::none, layout::kSmallestPreviewSide},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const QRect area(QPoint(0, 0), c.screen);
    QPoint at;
    switch (c.where) {
      case Where::centred:
        at = area.center() - frame.center();
        break;
      case Where::topLeft:
        at = QPoint(0, 0);
        break;
      case Where::rightEdge:
        at = QPoint(area.right() - frame.right(), 100);
        break;
    }
    PreviewRoom room;
    room.area = area;
    room.list = list.translated(at);
    room.header = header.translated(at);
    room.buttons = buttons.translated(at);
    room.row = QRect(QPoint(list.left(), header.bottom() + 1 + c.row * rowHeight),
                     QSize(list.width(), rowHeight))
                   .translated(at);
    if (c.tip == Tip::underPointer) {
      // Where a tooltip stands: just below the pointer, resting at the row's middle.
      room.tooltip = QRect(room.row.center() + QPoint(0, 20), QSize(420, 40));
    }
    const PreviewPlace place = placePreview(room, chrome);
    EXPECT_GE(place.side, c.leastSide);
    EXPECT_EQ(place.frame.size(), chrome + QSize(2 * place.side, place.side));
    EXPECT_TRUE(area.contains(place.frame));
    EXPECT_FALSE(place.frame.intersects(room.header)) << "the column titles stay";
    if (place.frame.intersects(room.list)) {
      EXPECT_GT(place.frame.top(), room.header.bottom()) << "nothing of the window above them";
    }
    EXPECT_FALSE(place.frame.intersects(room.row)) << "the row under the pointer stays";
    EXPECT_FALSE(place.frame.intersects(room.buttons)) << "the buttons stay";
    if (room.tooltip.isValid()) {
      EXPECT_FALSE(place.frame.intersects(room.tooltip));
    }
    if (c.where != Where::centred) {
      EXPECT_FALSE(place.frame.intersects(room.list)) << "beside, where the screen has room";
    }
  }
}

}  // namespace
}  // namespace quillmere::qt_testing
