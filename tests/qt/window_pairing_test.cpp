// Where the larger look stands on screens of common sizes, and how a row pairing by name left
// waiting says why.

#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QHelpEvent>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QToolTip>
#include <filesystem>
#include <string>
#include <vector>

#include "qt_fixture.h"
#include "window/main_window.h"
#include "window/pair_preview.h"
#include "window/render_item_delegate.h"

namespace quillmere {
namespace {

using namespace qt_testing;

// The tooltip showing now (Qt makes one anew for each tooltip), if any.
QWidget* shownTip() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (widget->isVisible() && widget->inherits("QTipLabel")) return widget;
  }
  return nullptr;
}

class PairingWindowTest : public WindowTest {
 protected:
  QTableView& table() { return *window().table(); }
  // A widget's rectangle in the window.
  QRect inWindow(const QWidget& widget) {
    return QRect(widget.mapTo(&window(), QPoint(0, 0)), widget.size());
  }
};

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

// A card shot RAW+JPEG, chosen whole in the original panel (which offers raw files first): the raw
// pairs, and a row left waiting says why in the row, on the message line while it is selected, and
// in a tooltip that the larger look neither holds back nor covers. The tooltip used to be the only
// place, and the look came over it half a second after it appeared.
TEST_F(PairingWindowTest, ARowLeftWaitingSaysWhyInTheRowAndOnTheMessageLineAndTheLookLeavesItsTooltip) {
  const std::string first = render("DSC_0001.jpg");
  const std::string second = render("DSC_0002.jpg", 1);
  const std::string raw = m_dir / "card/DSC_0001.DNG";
  const std::string jpeg = m_dir / "card/DSC_0001.JPG";
  std::filesystem::create_directory(m_dir / "card");
  writeFile(raw, testing::dngLikeImage(testing::jpegImage(64, 48), 64, 48));
  writeFile(jpeg, testing::jpegImage(64, 48, 2));
  start({first, second});
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 2; }));
  activate(window(), table());
  m_session->toolkit().selectRow(0);

  ModalAnswerer answerer;
  QStringList filters;
  QString filterInForce;
  answerer.fileAnswers.push_back(ModalAnswerer::choose(
      "\"" + raw + "\" \"" + jpeg + "\"", [&](QFileDialog& dialog) {
        filters = dialog.nameFilters();
        filterInForce = dialog.selectedNameFilter();
      }));
  window().chooseButton()->click();
  ASSERT_TRUE(waitUntil([&] { return answerer.fileAnswers.empty(); }));
  ASSERT_EQ(filters.size(), 2);
  EXPECT_TRUE(filters[0].startsWith(u8("RAW 原片 ("))) << filters[0].toStdString();
  for (const char* pattern : {"*.dng", "*.DNG", "*.cr3", "*.NEF", "*.arw", "*.RAF"}) {
    EXPECT_TRUE(filters[0].contains(QString::fromLatin1(pattern))) << pattern;
  }
  EXPECT_FALSE(filters[0].contains(QStringLiteral("*.jpg"), Qt::CaseInsensitive));
  EXPECT_EQ(filters[1], u8("所有文件 (*)"));
  EXPECT_EQ(filterInForce, filters[0]);

  ASSERT_TRUE(waitUntil([&] { return m_session->app().originals().size() == 1; }));
  EXPECT_EQ(m_session->app().originals().at(first), raw);
  EXPECT_TRUE(model().index(0, 1).data(Qt::ToolTipRole).toString().startsWith(
      u8("已选用同名的 RAW 原片，略过了相机直出的 DSC_0001.JPG。")));
  const QString count = u8("已按文件名配对 1 张照片；还有 1 张尚未配对。");
  const QString why = u8("所选的原照片中没有与它同名的，请单独为它选择原照片。");

  // The row left waiting is selected, and says why: in the row where the prompt would be, and on
  // the message line below the count.
  ASSERT_EQ(m_session->toolkit().selectedRow(), 1);
  EXPECT_EQ(model().index(1, 1).data(RenderItemDelegate::kReasonRole).toString(),
            u8("没有同名的原照片，请单独选择"));
  EXPECT_FALSE(model().index(0, 1).data(RenderItemDelegate::kReasonRole).isValid());
  EXPECT_FALSE(model().index(1, 0).data(RenderItemDelegate::kReasonRole).isValid());
  EXPECT_EQ(model().index(1, 1).data().toString(), u8("请选择原照片")) << "what is read out stays";
  EXPECT_EQ(window().message()->text(), count + u8("\nDSC_0002.jpg：") + why);
  EXPECT_LE(window().message()->heightForWidth(window().message()->width()),
            window().message()->height())
      << "the message line holds both";
  m_session->toolkit().selectRow(0);
  EXPECT_EQ(window().message()->text(), count) << "another row selected: the count alone";
  m_session->toolkit().selectRow(1);
  EXPECT_EQ(window().message()->text(), count + u8("\nDSC_0002.jpg：") + why);

  // While the row's reason shows in a tooltip, the look at the row waits for it to go (the look
  // coming would put it away); and while the look shows, the row's tooltip still comes, over it.
  QWidget* viewport = table().viewport();
  const QPoint pointer = table().visualRect(model().index(1, 1)).center();
  // The pointer comes to rest on the row, and the row's tooltip comes before the rest has ended,
  // as it does on a desktop.
  activate(window(), table());
  QTest::mouseMove(viewport, pointer);
  QHelpEvent resting(QEvent::ToolTip, pointer, viewport->mapToGlobal(pointer));
  QApplication::sendEvent(viewport, &resting);
  ASSERT_TRUE(QToolTip::isVisible());
  ASSERT_EQ(QToolTip::text(), why);
  PairPreview& preview = m_session->preview();
  // Well past the rest of a second that brings the look to any other row.
  QTest::qWait(2 * layout::kHoverRestMs);
  EXPECT_TRUE(QToolTip::isVisible()) << "the reason stays";
  EXPECT_FALSE(preview.isVisible()) << "not over the reason";
  QToolTip::hideText();
  ASSERT_TRUE(waitUntil([&] { return preview.isVisible(); })) << "once the reason has gone";
  EXPECT_EQ(preview.render(), QString::fromStdString(second));
  QHelpEvent help(QEvent::ToolTip, pointer, viewport->mapToGlobal(pointer));
  QApplication::sendEvent(viewport, &help);
  EXPECT_TRUE(QToolTip::isVisible()) << "the look holds back no reason";
  EXPECT_EQ(QToolTip::text(), why);
  EXPECT_NE(shownTip(), nullptr);
  QToolTip::hideText();
}

}  // namespace
}  // namespace quillmere
