// Pairing renders with their originals in the window: the panels, pairing by name, rows left
// waiting and why, and choices refused when they are made.

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
#include <QItemSelectionModel>
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
#include <QSignalSpy>
#include <QTableView>
#include <QTest>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QToolTip>
#include <QUrl>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "qt_fixture.h"
#include "support/images.h"
#include "support/temp_dir.h"
#include "transfer/create_batch.h"
#include "window_logic/save_flow.h"
#include "window/main_window.h"
#include "window/pair_preview.h"
#include "window/render_item_delegate.h"
#include "window/window_session.h"

namespace quillmere::qt_testing {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::writeFile;

TEST_F(WindowTest, PanelsCarryTheirSettingsAndPairingEnablesSaving) {
  const auto a = render("a.png");
  const auto b = render("b.png", 1);
  std::filesystem::create_directory(m_dir / "originals");
  writeFile(m_dir / "originals/a.CR3", "raw a");
  writeFile(m_dir / "originals/b.CR3", "raw b");
  start();
  ModalAnswerer answerer;
  answerer.fileAnswers.push_back(ModalAnswerer::choose(a, [](QFileDialog& dialog) {
    EXPECT_EQ(dialog.windowTitle(), u8("选择 Capture One 导出的照片，不要选择 RAW 原照片。"));
    EXPECT_EQ(dialog.fileMode(), QFileDialog::ExistingFiles);
    const QStringList patterns = dialog.nameFilters().join(' ').split(' ');
    for (const char* pattern : {"*.jpg", "*.JPG", "*.jpeg", "*.JPEG", "*.png", "*.PNG", "*.tif",
                                "*.TIF", "*.tiff", "*.TIFF"}) {
      EXPECT_TRUE(patterns.contains(QString::fromLatin1(pattern))) << pattern;
    }
  }));
  window().addButton()->click();
  m_session->app().openFiles({b});
  ASSERT_EQ(model().rowCount(), 2);
  // What was added last is selected; the first row is paired first.
  m_session->toolkit().selectRow(0);

  answerer.fileAnswers.push_back(
      ModalAnswerer::choose(m_dir / "originals/a.CR3", [](QFileDialog& dialog) {
        EXPECT_EQ(dialog.windowTitle(),
                  u8("选择“a.png”对应的原照片（与 Quillmere 中导入的原照片一致）。"));
        EXPECT_EQ(dialog.fileMode(), QFileDialog::ExistingFiles) << "several, paired by name";
      }));
  window().chooseButton()->click();
  EXPECT_EQ(cell(0, 1), "a.CR3");
  EXPECT_FALSE(window().saveButton()->isEnabled());

  // The next original is usually beside the previous one: the panel opens where that was.
  const QString originals = QString::fromStdString(m_dir / "originals");
  answerer.fileAnswers.push_back(ModalAnswerer::choose(
      m_dir / "originals/b.CR3",
      [&](QFileDialog& dialog) { EXPECT_EQ(dialog.directory().absolutePath(), originals); }));
  window().chooseButton()->click();
  EXPECT_EQ(cell(1, 1), "b.CR3");
  EXPECT_TRUE(window().saveButton()->isEnabled());
  EXPECT_TRUE(answerer.fileAnswers.empty());
  EXPECT_TRUE(answerer.alerts.empty());
}

TEST_F(WindowTest, RowsLeftByPairingByNameSayWhyAndF8SelectsTheNextOne) {
  start({render("DSC_1.png"), render("DSC_2.png", 1), render("DSC_3.png", 2)});
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 3; }));
  for (const char* name : {"DSC_1.CR3", "DSC_3.CR3", "DSC_3.NEF"}) writeFile(m_dir / name, name);
  ModalAnswerer answerer;
  std::string several;  // as a user types several files into the panel's name field
  for (const char* name : {"DSC_1.CR3", "DSC_3.CR3", "DSC_3.NEF"}) {
    several.append(several.empty() ? "\"" : " \"").append(m_dir / name).append("\"");
  }
  answerer.fileAnswers.push_back(ModalAnswerer::choose(several));
  window().chooseButton()->click();
  ASSERT_TRUE(waitUntil([&] { return cell(0, 1) == "DSC_1.CR3"; }));
  for (int column : {0, 1}) {
    EXPECT_EQ(model().index(1, column).data(Qt::ToolTipRole).toString(),
              u8("所选的原照片中没有与它同名的，请单独为它选择原照片。"));
    EXPECT_EQ(model().index(2, column).data(Qt::ToolTipRole).toString(),
              u8("所选的原照片中有多张与它同名：DSC_3.CR3、DSC_3.NEF。请从中选择一张。"));
  }
  activate(window(), *window().table());
  window().table()->selectRow(0);
  for (const int expected : {1, 2, 1}) {
    QTest::keyClick(window().table(), Qt::Key_F8);
    EXPECT_EQ(window().table()->currentIndex().row(), expected);
  }
}

TEST_F(WindowTest, ADoubleClickPairsTheRowItLandedOn) {
  start({render("a.png"), render("b.png", 1)});
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 2; }));
  writeFile(m_dir / "b.CR3", "raw b");
  ModalAnswerer answerer;
  answerer.fileAnswers.push_back(ModalAnswerer::choose(m_dir / "b.CR3", [](QFileDialog& dialog) {
    EXPECT_EQ(dialog.windowTitle(),
              u8("选择“b.png”对应的原照片（与 Quillmere 中导入的原照片一致）。"));
  }));
  QTableView* table = window().table();
  const QPoint at = table->visualRect(model().index(1, 1)).center();
  // A double click is a press and release, then the double-click press that QTest sends alone.
  QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, at);
  QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, at);
  EXPECT_TRUE(answerer.fileAnswers.empty());
  EXPECT_EQ(cell(0, 1), "请选择原照片");
  EXPECT_EQ(cell(1, 1), "b.CR3");
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

TEST_F(PairedWindowTest, ChoicesThatCannotServeAreRefusedWhenMadeNamingTheFile) {
  const std::string a = render("DSC_1.png");
  const std::string b = render("DSC_2.png", 1);
  start({a, b});
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 2; }));
  m_session->toolkit().selectRow(0);
  ModalAnswerer answerer;

  // An original that is gone by the time the panel has closed (the panel itself accepts only
  // files that exist).
  const std::string original = m_dir / "DSC_1.CR3";
  writeFile(original, "raw");
  answerer.fileAnswers.push_back([&](QFileDialog& dialog) {
    ModalAnswerer::choose(original)(dialog);
    fs::remove(original);
  });
  window().chooseButton()->click();
  EXPECT_EQ(answerer.alerts,
            (Strings{"无法检查“" + original + "”：没有那个文件或目录（ENOENT）\nDSC_1.CR3"}));
  EXPECT_EQ(cell(0, 1), "请选择原照片") << "no pairing";
  EXPECT_EQ(m_session->toolkit().selectedRow(), 0);

  // One of the listed renders.
  answerer.alerts.clear();
  answerer.fileAnswers.push_back(ModalAnswerer::choose(b));
  window().chooseButton()->click();
  EXPECT_EQ(answerer.alerts,
            (Strings{"这是列表中的导出照片，不能作为原照片；请选择 Quillmere 中导入的原照片。\n"
                     "DSC_2.png"}));
  EXPECT_EQ(cell(0, 1), "请选择原照片");

  // A destination nobody may write in: refused when chosen, naming it; the panel opens again.
  for (int row = 0; row < 2; ++row) {
    writeFile(m_dir / numbered("o", row, ".CR3"), "raw");
    m_session->toolkit().selectRow(row);
    answerer.fileAnswers.push_back(
        ModalAnswerer::choose(m_dir / numbered("o", row, ".CR3")));
    window().chooseButton()->click();
  }
  ASSERT_TRUE(window().saveButton()->isEnabled());
  answerer.alerts.clear();
  answerer.fileAnswers.push_back(ModalAnswerer::choose("/proc/sys"));
  answerer.fileAnswers.push_back([](QFileDialog& dialog) { dialog.reject(); });
  window().saveButton()->click();
  EXPECT_TRUE(answerer.fileAnswers.empty()) << "the panel opened again";
  EXPECT_EQ(answerer.alerts,
            (Strings{"无法写入“/proc/sys”：没有访问权限（EACCES）\n请重新选择保存文件夹。"}));
  EXPECT_NE(window().message()->text(), u8("正在准备照片，请稍候…")) << "nothing was saved";
  EXPECT_TRUE(window().saveButton()->isEnabled());
}

// After adding with the keyboard, the keyboard is on the first new row: the second Enter chooses
// its original, where it once opened the add panel again.
TEST_F(WindowTest, AfterAddingTheSecondEnterChoosesTheFirstNewRowsOriginal) {
  const auto listed = render("a.png");
  start({listed});
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 1; }));
  const auto b = render("b.png", 1);
  const auto c = render("c.png", 2);
  activate(window(), *window().addButton());
  ModalAnswerer answerer;
  answerer.fileAnswers.push_back([&](QFileDialog& dialog) {
    dialog.setDirectory(QString::fromStdString(m_dir.path()));
    ModalAnswerer::choose("\"b.png\" \"c.png\"")(dialog);
  });
  QString secondPanel;
  answerer.fileAnswers.push_back([&](QFileDialog& dialog) {
    secondPanel = dialog.windowTitle();
    dialog.reject();
  });
  QTest::keyClick(window().addButton(), Qt::Key_Return);
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 3; }));
  // The window has the keyboard again once the panel has gone, on its focus widget.
  QApplication::setActiveWindow(&window());
  QApplication::processEvents();
  EXPECT_EQ(window().focusWidget(), window().table());
  EXPECT_EQ(QApplication::focusWidget(), window().table());
  EXPECT_EQ(window().table()->currentIndex().row(), 1);
  EXPECT_TRUE(window().table()->selectionModel()->isRowSelected(1));
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
  ASSERT_TRUE(waitUntil([&] { return !secondPanel.isEmpty(); }));
  EXPECT_EQ(secondPanel, u8("选择“b.png”对应的原照片（与 Quillmere 中导入的原照片一致）。"));
}

}  // namespace
}  // namespace quillmere::qt_testing
