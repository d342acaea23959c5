// The window as it opens: its texts, its controls in their order, its sizes and room, its menu,
// adding files, the look of its cells, the folders it remembers, and what a screen reader reads.

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
#include <stdexcept>
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

TEST_F(PhotoWindowTest, ALargerWindowGivesTheTableItsRoomColumnsFillItAndTheSizeIsRemembered) {
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

TEST_F(PairedWindowTest, EveryControlHasAnAccessibleNameAndDescriptionInChinese) {
  writeFile(m_dir / "DSC_1234.jpg", testing::jpegImage(300, 200));
  start({m_dir / "DSC_1234.jpg"});
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 1; }));
  const auto isChinese = [](const QString& text) {
    return std::any_of(text.begin(), text.end(),
                       [](QChar c) { return c.unicode() >= 0x4e00 && c.unicode() <= 0x9fff; });
  };
  const auto read = [&](QObject* object) {
    QAccessibleInterface* control = QAccessible::queryAccessibleInterface(object);
    EXPECT_NE(control, nullptr);
    if (control == nullptr) return std::pair<QString, QString>();
    return std::pair(control->text(QAccessible::Name), control->text(QAccessible::Description));
  };
  for (QWidget* control : std::initializer_list<QWidget*>{
           &table(), window().addButton(), window().chooseButton(), window().saveButton(),
           window().message(), window().headline(), window().progress(), window().menuBar(),
           &m_session->preview(), &m_session->comparison()}) {
    SCOPED_TRACE(control->objectName().toStdString());
    const auto [name, description] = read(control);
    EXPECT_TRUE(isChinese(name)) << name.toStdString();
    EXPECT_TRUE(isChinese(description)) << description.toStdString();
  }
  EXPECT_EQ(read(window().saveButton()).first, u8("保存并带回 Quillmere…"));
  EXPECT_EQ(read(&table()).first, u8("照片列表"));

  // The columns and the cells, through the table's own interface.
  QAccessibleInterface* list = QAccessible::queryAccessibleInterface(&table());
  ASSERT_NE(list, nullptr);
  QAccessibleTableInterface* grid = list->tableInterface();
  ASSERT_NE(grid, nullptr);
  QStringList headers;
  for (int i = 0; i < list->childCount(); ++i) {
    QAccessibleInterface* child = list->child(i);
    if (child == nullptr || child->role() != QAccessible::ColumnHeader) continue;
    headers << child->text(QAccessible::Name) + QLatin1Char('|') +
                   child->text(QAccessible::Description);
  }
  EXPECT_EQ(headers, (QStringList{u8("导出的照片|从 Capture One 导出的照片"),
                                  u8("对应原照片|与 Quillmere 中导入的原照片一致的原照片")}));
  QAccessibleInterface* render = grid->cellAt(0, 0);
  ASSERT_NE(render, nullptr);
  EXPECT_EQ(render->text(QAccessible::Name), u8("DSC_1234.jpg"));
  EXPECT_EQ(render->text(QAccessible::Description), u8("DSC_1234.jpg 的缩略图"));
  QAccessibleInterface* source = grid->cellAt(0, 1);
  ASSERT_NE(source, nullptr);
  EXPECT_EQ(source->text(QAccessible::Name), u8("请选择原照片"));
  EXPECT_EQ(source->text(QAccessible::Description), u8("尚未选择原照片"));

  // The pictures of the comparison view.
  activate(window(), table());
  QTest::keyClick(&table(), Qt::Key_Space);
  ASSERT_TRUE(m_session->comparison().isVisible());
  EXPECT_EQ(read(m_session->comparison().renderPicture()).first, u8("DSC_1234.jpg 的缩略图"));
  QTest::keyClick(&m_session->comparison(), Qt::Key_Escape);
}


// --- a hook that fails

// Whatever a hook of the window throws is reported, never lost and never let into Qt: on the
// message line of a window on its own, and by the session in an alert as BridgeApp's own failures
// are, after which the window goes on working.
TEST(WindowFailures, AHookThatThrowsIsReportedOnTheMessageLine) {
  const std::string failure = "磁盘已满：/out";
  const auto fails = [failure] { throw std::runtime_error(failure); };
  const struct {
    const char* name;
    std::function<void(MainWindow&)> wire;
    std::function<void(MainWindow&)> act;
  } cases[] = {
      {"F8", [&](MainWindow& w) { w.nextRequested = fails; },
       [](MainWindow& w) { w.nextAction()->trigger(); }},
      {"the remove item", [&](MainWindow& w) { w.removeRequested = fails; },
       [](MainWindow& w) { w.removeAction()->trigger(); }},
      {"Delete on the table", [&](MainWindow& w) { w.removeRequested = fails; },
       [](MainWindow& w) { QTest::keyClick(w.table(), Qt::Key_Delete); }},
      {"Enter on the table", [&](MainWindow& w) { w.rowActivated = fails; },
       [](MainWindow& w) { QTest::keyClick(w.table(), Qt::Key_Return); }},
      {"closing", [&](MainWindow& w) { w.mayClose = [failure]() -> bool { throw std::runtime_error(failure); }; },
       // A window that cannot tell whether to stay closes, as it always has.
       [](MainWindow& w) { EXPECT_TRUE(w.close()); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MainWindow window;
    c.wire(window);
    c.act(window);
    EXPECT_EQ(window.message()->text().toStdString(), failure);
  }
}

TEST_F(WindowTest, AHookThatThrowsIsReportedInAnAlertAndTheWindowGoesOn) {
  start({render("a.png")});
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 1; }));
  window().nextRequested = [] { throw std::runtime_error("磁盘已满：/out"); };
  ModalAnswerer answerer;
  window().nextAction()->trigger();
  ASSERT_TRUE(waitUntil([&] { return answerer.alerts.size() == 1; }));
  EXPECT_EQ(answerer.alerts.front(), "磁盘已满：/out");
  EXPECT_EQ(answerer.alertsPlainText, 1);
  EXPECT_TRUE(window().isVisible());
  EXPECT_TRUE(window().addButton()->isEnabled());
}


TEST_F(WindowTest, ABackgroundJobThatThrowsIsReportedInAnAlert) {
  start();
  ModalAnswerer answerer;
  m_session->toolkit().runInBackground([] { throw std::runtime_error("无法读取：/in/a.png"); });
  ASSERT_TRUE(waitUntil([&] { return answerer.alerts.size() == 1; }));
  EXPECT_EQ(answerer.alerts.front(), "无法读取：/in/a.png");
  EXPECT_TRUE(window().isVisible());
}

}  // namespace
}  // namespace quillmere::qt_testing
