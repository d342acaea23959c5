#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QBoxLayout>
#include <QDeadlineTimer>
#include <QHelpEvent>
#include <QToolTip>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <condition_variable>
#include <deque>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/images.h"
#include "support/temp_dir.h"
#include "transfer/create_batch.h"
#include "qt_fixture.h"
#include "window/window_session.h"

namespace quillmere {
namespace {

using namespace qt_testing;
using testing::TempDir;
using testing::writeFile;


// --- what the window shows

TEST_F(WindowTest, TextsAreExactlyTheWindowsOwn) {
  start();
  EXPECT_EQ(window().windowTitle(), u8("Quillmere · Capture One Bridge"));
  EXPECT_EQ(window().headline()->text(), u8("把调色结果带回 Quillmere"));
  EXPECT_EQ(window().message()->text(),
            u8("从 Capture One 导出 JPEG、TIFF 或 PNG 后，在这里选择对应的原照片。"
               "原照片只用于确认对应关系，不会被修改。"));
  EXPECT_EQ(window().addButton()->text(), u8("添加导出的照片…"));
  EXPECT_EQ(window().chooseButton()->text(), u8("选择对应原照片…"));
  EXPECT_EQ(window().saveButton()->text(), u8("保存并带回 Quillmere…"));
  EXPECT_EQ(model().headerData(0, Qt::Horizontal).toString(), u8("导出的照片"));
  EXPECT_EQ(model().headerData(1, Qt::Horizontal).toString(), u8("对应原照片"));
  EXPECT_EQ(model().columnCount(), 2);
}

TEST_F(WindowTest, ControlsStandTopToBottomInTheirOrder) {
  start();
  auto* stack = qobject_cast<QVBoxLayout*>(window().centralWidget()->layout());
  ASSERT_NE(stack, nullptr);
  std::vector<QWidget*> order;
  for (int i = 0; i < stack->count(); ++i) order.push_back(stack->itemAt(i)->widget());
  QWidget* buttonRow = window().saveButton()->parentWidget();
  EXPECT_EQ(order, (std::vector<QWidget*>{window().headline(), window().message(), window().table(),
                                          buttonRow}));
  EXPECT_FALSE(window().progress()->isVisible()) << "the progress bar is hidden while idle";
  EXPECT_LT(window().headline()->y(), window().message()->y());
  EXPECT_LT(window().message()->y(), window().table()->y());
  EXPECT_LT(window().table()->y(), buttonRow->y());

  auto* row = qobject_cast<QHBoxLayout*>(buttonRow->layout());
  ASSERT_NE(row, nullptr);
  ASSERT_EQ(row->count(), 5);
  EXPECT_EQ(row->itemAt(0)->widget(), window().addButton());
  EXPECT_EQ(row->itemAt(1)->widget(), window().chooseButton());
  EXPECT_EQ(row->itemAt(2)->widget(), window().saveButton());
  // The progress bar has its own place at the end of the row, after some room.
  EXPECT_NE(row->itemAt(3)->spacerItem(), nullptr);
  EXPECT_EQ(row->itemAt(4)->widget(), window().progress());
  EXPECT_LT(window().addButton()->x(), window().chooseButton()->x());
  EXPECT_LT(window().chooseButton()->x(), window().saveButton()->x());
  EXPECT_FALSE(window().saveButton()->isEnabled());
}

TEST_F(WindowTest, SizesSpacingsAndInsetsAreTheWindowsOwn) {
  start({render("a.png")});
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 1; }));
  QWidget* root = window().centralWidget();
  auto* stack = qobject_cast<QVBoxLayout*>(root->layout());
  ASSERT_NE(stack, nullptr);
  EXPECT_EQ(stack->spacing(), 16);
  EXPECT_EQ(stack->contentsMargins(), QMargins(24, 24, 24, 24));
  EXPECT_EQ(window().saveButton()->parentWidget()->layout()->spacing(), 12);

  EXPECT_EQ(window().width(), 800);
  EXPECT_EQ(root->width(), 800);
  // The size it opens at is its least; it may be made larger, without a limit.
  EXPECT_EQ(window().minimumSizeHint(), window().size());
  EXPECT_GE(window().maximumHeight(), QWIDGETSIZE_MAX);
  EXPECT_TRUE(window().windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(window().windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_TRUE(window().windowFlags() & Qt::WindowCloseButtonHint);

  // Inside the 24-point insets: the message line and the table are as wide as the space there.
  EXPECT_EQ(window().headline()->pos(), QPoint(24, 24));
  EXPECT_EQ(window().message()->geometry(),
            QRect(24, window().message()->y(), 752, window().message()->height()));
  EXPECT_EQ(window().table()->geometry(), QRect(24, window().table()->y(), 752, 260));
  QWidget* buttonRow = window().saveButton()->parentWidget();
  EXPECT_EQ(buttonRow->x(), 24);
  EXPECT_EQ(root->height() - buttonRow->geometry().bottom() - 1, 24);
  EXPECT_EQ(window().message()->y() - window().headline()->geometry().bottom() - 1, 16);

  // The Part's 23-point system font: 23 pixels at a scale of 1, bold.
  QFont headline = window().headline()->font();
  EXPECT_EQ(headline.pixelSize(), 23);
  EXPECT_EQ(QFontInfo(headline).pixelSize(), 23);
  EXPECT_EQ(headline.weight(), QFont::Bold);

  QTableView* table = window().table();
  // The two columns share the table's width, each at least the Part's 300.
  EXPECT_GE(table->columnWidth(0), 300);
  EXPECT_GE(table->columnWidth(1), 300);
  EXPECT_LE(std::abs(table->columnWidth(0) - table->columnWidth(1)), 1);
  EXPECT_EQ(table->columnWidth(0) + table->columnWidth(1), table->viewport()->width());
  EXPECT_EQ(table->rowHeight(0), 32);
  EXPECT_EQ(table->verticalHeader()->defaultSectionSize(), 32);

  // The message line is as high as its longest text needs, whichever it shows, so nothing below
  // it moves: the longest success message and a one-line message take the same room.
  const QRect tableAt = window().table()->geometry();
  const QSize windowSize = window().size();
  for (const char* text : {"已保存 500 张。打开 Quillmere 项目，选择“调色版本”→“导入调色结果”，"
                           "再选择刚生成的文件夹。旧版客户端也可用“导入照片”作为独立照片导入。",
                           "正在准备照片，请稍候…"}) {
    SCOPED_TRACE(text);
    m_session->toolkit().setMessage(text);
    QApplication::processEvents();
    EXPECT_GE(window().message()->height(), window().message()->heightForWidth(752));
    EXPECT_EQ(window().table()->geometry(), tableAt);
    EXPECT_EQ(window().size(), windowSize);
  }
  EXPECT_EQ(window().width(), 800);
}

TEST_F(WindowTest, TheMenuBarHoldsOneMenuWithTheNextRowItemOnF8AndTheQuitItemOnCtrlQ) {
  start();
  const QList<QAction*> menus = window().menuBar()->actions();
  ASSERT_EQ(menus.size(), 1);
  ASSERT_NE(menus[0]->menu(), nullptr);
  const QList<QAction*> items = menus[0]->menu()->actions();
  ASSERT_EQ(items.size(), 3);
  EXPECT_EQ(items[0]->text(), u8("下一张待处理的照片"));
  EXPECT_EQ(items[0]->shortcut(), QKeySequence(Qt::Key_F8));
  EXPECT_EQ(items[1]->text(), u8("核对已保存的批次…"));
  EXPECT_EQ(items[2]->text(), u8("退出 Quillmere Bridge"));
  EXPECT_EQ(items[2]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
}

TEST_F(WindowTest, ClosingTheWindowOrQuittingEndsTheApplication) {
  const struct {
    const char* name;
    std::function<void(MainWindow&)> end;
  } cases[] = {
      {"close the window", [](MainWindow& w) { w.close(); }},
      {"the quit item", [](MainWindow& w) { w.quitAction()->trigger(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    start({render("a.png")});
    EXPECT_EQ(runEventLoop([&] { c.end(window()); }), 0);
    EXPECT_FALSE(window().isVisible());
  }
}

// --- adding, pairing, saving through the real controls

TEST_F(WindowTest, OpenedAndDroppedFilesAreAddedWithAnAlertForEachRefusal) {
  const auto a = render("a.png");
  start({a});
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 1; }));
  EXPECT_EQ(cell(0, 0), "a.png");
  EXPECT_EQ(cell(0, 1), "请选择原照片");
  EXPECT_EQ(m_session->toolkit().selectedRow(), 0);

  ModalAnswerer answerer;
  writeFile(m_dir / "notes <b>x.txt", "text");
  QMimeData mime;
  mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(render("b.png", 1))),
                QUrl::fromLocalFile(QString::fromStdString(m_dir / "notes <b>x.txt")),
                QUrl::fromLocalFile(QString::fromStdString(a))});
  QDragEnterEvent enter(QPoint(100, 100), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&window(), &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(100, 100), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&window(), &drop);
  EXPECT_TRUE(drop.isAccepted());

  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 2 && !answerer.alerts.empty(); }));
  EXPECT_EQ(cell(1, 0), "b.png");
  EXPECT_EQ(answerer.alerts,
            (Strings{"请选择已导出的单页 JPEG、TIFF 或 PNG 照片。\nnotes <b>x.txt"}));
  EXPECT_EQ(answerer.alertsPlainText, 1) << "file names are shown as they are, never as markup";
}

TEST_F(WindowTest, ReloadingKeepsTheSelectedRow) {
  start({render("a.png"), render("b.png", 1)});
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 2; }));
  m_session->toolkit().selectRow(1);
  m_session->app().refresh();
  EXPECT_EQ(m_session->toolkit().selectedRow(), 1);
}

// Beyond the Part: what was just added is selected, its first file, and scrolled into view.
TEST_F(WindowTest, AddedFilesAreSelectedAndScrolledIntoView) {
  Strings first;
  for (int i = 0; i < 20; ++i) first.push_back(render(numbered("r", 100 + i, ".png"), i));
  start(first);
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 20; }));
  m_session->toolkit().selectRow(0);
  window().table()->scrollToTop();
  m_session->app().openFiles({render("late.png", 30), render("later.png", 31)});
  EXPECT_EQ(model().rowCount(), 22);
  EXPECT_EQ(m_session->toolkit().selectedRow(), 20);
  QApplication::processEvents();
  const QRect shown = window().table()->visualRect(model().index(20, 0));
  EXPECT_TRUE(window().table()->viewport()->rect().contains(shown)) << "in sight";
}

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

TEST_F(WindowTest, TheProgressBarShowsOnlyWhileWorkIsReportedAndMovesNothing) {
  start();
  const QSize idleSize = window().size();
  const auto buttons = [&] {
    return std::vector<QRect>{window().addButton()->geometry(), window().chooseButton()->geometry(),
                              window().saveButton()->geometry(),
                              window().saveButton()->parentWidget()->geometry()};
  };
  const std::vector<QRect> idleButtons = buttons();
  QtToolkit& toolkit = m_session->toolkit();
  toolkit.showBusyProgress();
  ASSERT_TRUE(waitUntil([&] { return window().progress()->isVisible(); }));
  EXPECT_EQ(window().progress()->maximum(), 0) << "busy: no known amount";
  EXPECT_EQ(buttons(), idleButtons);
  EXPECT_EQ(window().size(), idleSize);
  toolkit.showProgress(30, 100, 3, 6);
  EXPECT_EQ(window().progress()->value() * 100 / window().progress()->maximum(), 30);
  // The bar fills by bytes; its figure counts the files.
  EXPECT_TRUE(window().progress()->isTextVisible());
  EXPECT_EQ(window().progress()->text(), QStringLiteral("3/6"));
  QApplication::processEvents();
  EXPECT_EQ(buttons(), idleButtons);
  toolkit.showBusyProgress();
  EXPECT_FALSE(window().progress()->isTextVisible()) << "busy: no figure";
  toolkit.hideProgress();
  QApplication::processEvents();
  EXPECT_FALSE(window().progress()->isVisible());
  EXPECT_EQ(buttons(), idleButtons);
  EXPECT_EQ(window().size(), idleSize);
}

TEST_F(WindowTest, QuittingDuringASaveWaitsInSightForTheRollBack) {
  const auto a = render("a.png");
  writeFile(m_dir / "a.CR3", "raw");
  std::filesystem::create_directory(m_dir / "out");
  // A batch that runs until it is asked to stop, then fails as a stopped batch does.
  start({a}, [](const BatchRequest&, const BatchObserver& observer) -> BatchResult {
    std::mutex mutex;
    std::condition_variable_any stopped;
    std::unique_lock lock(mutex);
    stopped.wait(lock, observer.stop, [] { return false; });
    throw Stopped(kBatchStoppedMessage);
  });
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 1; }));
  ModalAnswerer answerer;
  answerer.fileAnswers.push_back(ModalAnswerer::choose(m_dir / "a.CR3"));
  window().chooseButton()->click();
  answerer.fileAnswers.push_back(ModalAnswerer::choose(m_dir / "out", [](QFileDialog& dialog) {
    EXPECT_EQ(dialog.windowTitle(), u8("选择保存位置；每次都会新建文件夹，不覆盖已有照片。"));
    EXPECT_EQ(dialog.fileMode(), QFileDialog::Directory);
    EXPECT_TRUE(dialog.testOption(QFileDialog::ShowDirsOnly));
    EXPECT_FALSE(dialog.testOption(QFileDialog::ReadOnly)) << "new folders can be made";
  }));
  window().saveButton()->click();
  EXPECT_EQ(window().message()->text(), u8("正在准备照片，请稍候…"));
  EXPECT_FALSE(window().saveButton()->isEnabled());
  EXPECT_TRUE(window().progress()->isVisible());

  bool visibleAfterClose = false;
  bool inertAfterClose = false;
  QString messageAfterClose;
  const int status = runEventLoop([&] {
    window().close();
    visibleAfterClose = window().isVisible();
    inertAfterClose = !window().table()->isEnabled() && !window().addButton()->isEnabled() &&
                      !window().chooseButton()->isEnabled() &&
                      !window().saveButton()->isEnabled() && !window().menuBar()->isEnabled();
    // The message line stays readable: it says what the window is waiting for.
    if (window().message()->isEnabled()) messageAfterClose = window().message()->text();
  });
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(visibleAfterClose);
  EXPECT_TRUE(inertAfterClose);
  EXPECT_EQ(messageAfterClose, u8("正在停止保存，未完成的内容将被删除，请稍候…"));
  // Asked first, and answered with stopping.
  EXPECT_EQ(answerer.alerts,
            (Strings{"照片正在保存。停止保存并退出吗？停止后已写入的内容将被删除。"}));
}

// --- the keyboard


TEST_F(WindowTest, TabStepsFromTheTableThroughTheThreeButtonsAndShiftTabBack) {
  start({render("a.png"), render("b.png", 1)});
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 2; }));
  m_session->toolkit().setSaveEnabled(true);
  activate(window(), *window().table());
  ASSERT_EQ(QApplication::focusWidget(), window().table());

  const std::vector<QWidget*> forward{window().addButton(), window().chooseButton(),
                                      window().saveButton(), window().table()};
  for (QWidget* expected : forward) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), expected) << expected->objectName().toStdString();
  }
  EXPECT_EQ(m_session->toolkit().selectedRow(), 0) << "Tab never walked the table's cells";
  const std::vector<QWidget*> backward{window().saveButton(), window().chooseButton(),
                                       window().addButton(), window().table()};
  for (QWidget* expected : backward) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_EQ(QApplication::focusWidget(), expected) << expected->objectName().toStdString();
  }
}

TEST_F(WindowTest, EnterOnARowOpensTheChoosePanelForThatRowAndNeverSaves) {
  const auto a = render("a.png");
  const auto b = render("b.png", 1);
  writeFile(m_dir / "b.CR3", "raw b");
  writeFile(m_dir / "a.CR3", "raw a");
  start({a, b});
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 2; }));
  activate(window(), *window().table());
  m_session->toolkit().selectRow(1);
  ModalAnswerer answerer;
  for (const auto key : {Qt::Key_Return, Qt::Key_Enter}) {
    SCOPED_TRACE(key);
    answerer.fileAnswers.push_back(ModalAnswerer::choose(m_dir / "b.CR3", [&](QFileDialog& dialog) {
      EXPECT_EQ(dialog.windowTitle(),
                u8("选择“b.png”对应的原照片（与 Quillmere 中导入的原照片一致）。"));
      // The original of the render's name is selected already.
      EXPECT_EQ(dialog.selectedFiles(), QStringList{QString::fromStdString(m_dir / "b.CR3")});
    }));
    QTest::keyClick(window().table(), key);
    EXPECT_TRUE(answerer.fileAnswers.empty());
    EXPECT_EQ(cell(1, 1), "b.CR3");
  }
  // Fully paired, Enter on a row still only opens the choose panel: no key starts a save.
  m_session->toolkit().selectRow(0);
  answerer.fileAnswers.push_back(ModalAnswerer::choose(m_dir / "a.CR3"));
  QTest::keyClick(window().table(), Qt::Key_Return);
  ASSERT_TRUE(window().saveButton()->isEnabled());
  QTest::keyClick(window().table(), Qt::Key_Return, Qt::ControlModifier);
  EXPECT_TRUE(answerer.fileAnswers.empty());
  EXPECT_EQ(window().message()->text().toStdString().find("正在准备"), std::string::npos);
}

TEST_F(WindowTest, EnterOrSpaceOnAFocusedButtonPressesIt) {
  start();
  activate(window(), *window().addButton());
  ModalAnswerer answerer;
  int opened = 0;
  for (const auto key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space}) {
    SCOPED_TRACE(key);
    answerer.fileAnswers.push_back([&](QFileDialog& dialog) {
      ++opened;
      EXPECT_EQ(dialog.windowTitle(), u8("选择 Capture One 导出的照片，不要选择 RAW 原照片。"));
      dialog.reject();
    });
    QTest::keyClick(window().addButton(), key);
    ASSERT_TRUE(waitUntil([&] { return answerer.fileAnswers.empty(); }));
  }
  EXPECT_EQ(opened, 3);
}

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

// --- how the source cells look

TEST_F(WindowTest, UnpairedAndDifferentlyNamedOriginalsAreDrawnApartWithTheirTextsUnchanged) {
  start({render("DSC_4005.tif"), render("DSC_4006.tif", 1), render("DSC_4007.tif", 2)});
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 3; }));
  ModalAnswerer answerer;
  for (const char* original : {"DSC_4008.CR3", "DSC_4006.CR3"}) {
    writeFile(m_dir / original, "raw");
    answerer.fileAnswers.push_back(ModalAnswerer::choose(m_dir / original));
    window().chooseButton()->click();
  }
  const auto role = [&](int row, int role) { return model().index(row, 1).data(role); };
  // Row 0 differs in name, row 1 matches, row 2 has no original yet.
  EXPECT_EQ(cell(0, 1), "DSC_4008.CR3");
  EXPECT_TRUE(role(0, Qt::DecorationRole).isValid());
  EXPECT_TRUE(role(0, Qt::ForegroundRole).isValid());
  EXPECT_TRUE(role(0, Qt::ToolTipRole).toString().startsWith(u8("原照片与导出的照片文件名不同")));
  EXPECT_FALSE(role(1, Qt::DecorationRole).isValid());
  EXPECT_FALSE(role(1, Qt::ForegroundRole).isValid());
  EXPECT_EQ(role(1, Qt::ToolTipRole).toString(), QString::fromStdString(m_dir / "DSC_4006.CR3"));
  EXPECT_EQ(cell(2, 1), "请选择原照片");
  EXPECT_TRUE(role(2, Qt::ForegroundRole).isValid());
  EXPECT_TRUE(role(2, Qt::FontRole).value<QFont>().italic());
  EXPECT_NE(role(0, Qt::ForegroundRole), role(2, Qt::ForegroundRole));
}

// --- pictures

TEST_F(WindowTest, AListedRenderGetsItsPictureFromTheBackgroundThreadsOnly) {
  const std::string photo = m_dir / "photo.jpg";
  writeFile(photo, testing::jpegImage(300, 200));
  start();
  // Every picture thread is held, so no picture can be made until they are let go: if the main
  // thread decoded, the picture would show meanwhile.
  ThumbnailCache& pictures = m_session->pictures();
  // The gate is shared with the held tasks rather than kept on this stack: a held task the pool
  // starts only after this test has returned must still find it.
  struct Gate {
    std::mutex mutex;
    std::condition_variable released;
    bool go = false;
    void release() {
      const std::lock_guard lock(mutex);
      go = true;
      released.notify_all();
    }
  };
  const auto gate = std::make_shared<Gate>();
  const std::unique_ptr<Gate, std::function<void(Gate*)>> releaseAtEnd(
      gate.get(), [](Gate* held) { held->release(); });
  for (int i = 0; i < pictures.pool().maxThreadCount(); ++i) {
    pictures.pool().start([gate] {
      std::unique_lock lock(gate->mutex);
      gate->released.wait(lock, [&] { return gate->go; });
    });
  }
  m_session->app().openFiles({photo});
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 1; }));
  // The repaint asks for the picture; whatever it posts is handled before the look.
  window().table()->viewport()->repaint();
  QApplication::processEvents();
  EXPECT_FALSE(model().index(0, 0).data(Qt::DecorationRole).isValid());
  EXPECT_EQ(pictures.madeCount(), 0);

  gate->release();
  ASSERT_TRUE(waitUntil([&] { return model().index(0, 0).data(Qt::DecorationRole).isValid(); }));
  const auto picture = model().index(0, 0).data(Qt::DecorationRole).value<QPixmap>();
  EXPECT_EQ(picture.size(), QSize(layout::kPictureWidth, layout::kPictureHeight));
  EXPECT_EQ(window().table()->iconSize(), picture.size());
  EXPECT_EQ(cell(0, 0), "photo.jpg");
}

TEST_F(WindowTest, OriginalsShowTheirPictureOrTheIconOfTheirType) {
  start({render("a.png"), render("b.png", 1)});
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 2; }));
  writeFile(m_dir / "a.jpg", testing::jpegImage(200, 300));
  writeFile(m_dir / "b.txt", "notes, not a picture");
  ModalAnswerer answerer;
  for (const char* original : {"a.jpg", "b.txt"}) {
    answerer.fileAnswers.push_back(ModalAnswerer::choose(m_dir / original));
    window().chooseButton()->click();
  }
  const auto decoration = [&](int row) { return model().index(row, 1).data(Qt::DecorationRole); };
  ASSERT_TRUE(waitUntil([&] { return decoration(0).isValid() && decoration(1).isValid(); }));
  EXPECT_EQ(decoration(0).value<QPixmap>().size(),
            QSize(layout::kPictureWidth, layout::kPictureHeight));
  EXPECT_FALSE(decoration(1).value<QPixmap>().isNull());
  EXPECT_EQ(cell(0, 1), "a.jpg");
  EXPECT_EQ(cell(1, 1), "b.txt");
}

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

// --- where things go

TEST_F(WindowTest, EachPanelsFolderIsRememberedAcrossLaunches) {
  std::filesystem::create_directories(m_dir / "raw");
  std::filesystem::create_directories(m_dir / "batches");
  writeFile(m_dir / "raw/a.CR3", "raw a");
  writeFile(m_dir / "raw/b.CR3", "raw b");
  const auto a = render("a.png");
  {
    start({a});
    ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 1; }));
    ModalAnswerer answerer;
    answerer.fileAnswers.push_back(ModalAnswerer::choose(m_dir / "raw/a.CR3"));
    window().chooseButton()->click();
    answerer.fileAnswers.push_back([&](QFileDialog& dialog) {
      // The first destination panel opens beside the renders, never among the originals.
      EXPECT_EQ(dialog.directory().absolutePath(), QString::fromStdString(m_dir.path()));
      dialog.reject();
    });
    window().saveButton()->click();
    EXPECT_TRUE(answerer.fileAnswers.empty());
    m_session.reset();
  }
  start({render("b.png", 1)});
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 1; }));
  ModalAnswerer answerer;
  answerer.fileAnswers.push_back([&](QFileDialog& dialog) {
    EXPECT_EQ(dialog.directory().absolutePath(), QString::fromStdString(m_dir / "raw"));
    EXPECT_EQ(dialog.selectedFiles(), QStringList{QString::fromStdString(m_dir / "raw/b.CR3")});
    dialog.reject();
  });
  window().chooseButton()->click();
  EXPECT_TRUE(answerer.fileAnswers.empty());
}

TEST_F(WindowTest, ASuccessfulSaveLeavesTheNewFoldersPathOnTheMessageLine) {
  const auto a = render("a.png");
  writeFile(m_dir / "a.CR3", "raw");
  std::filesystem::create_directory(m_dir / "out");
  start({a}, [](const BatchRequest& request, const BatchObserver&) {
    return BatchResult{request.destination + "/Quillmere-x", 1, std::nullopt};
  });
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 1; }));
  ModalAnswerer answerer;
  answerer.fileAnswers.push_back(ModalAnswerer::choose(m_dir / "a.CR3"));
  window().chooseButton()->click();
  answerer.fileAnswers.push_back(ModalAnswerer::choose(m_dir / "out"));
  window().saveButton()->click();
  ASSERT_TRUE(waitUntil([&] { return window().message()->text().startsWith(u8("已保存 1 张")); }));
  EXPECT_EQ(window().message()->toolTip(), QString::fromStdString(m_dir / "out/Quillmere-x"));
}

// --- ending from outside

TEST_F(WindowTest, AQuitFromOutsideDismissesAnOpenPanelAndEndsLikeTheQuitItem) {
  start({render("a.png")});
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 1; }));
  bool panelWasOpen = false;
  const int status = runEventLoop([&] {
    QTimer::singleShot(50, [&] {
      panelWasOpen = qobject_cast<QFileDialog*>(QApplication::activeModalWidget()) != nullptr;
      m_session->quitFromOutside();
    });
    window().chooseButton()->click();
  });
  EXPECT_TRUE(panelWasOpen);
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(window().isVisible());
  EXPECT_EQ(cell(0, 1), "请选择原照片") << "the dismissed panel chose nothing";
}

}  // namespace
}  // namespace quillmere
