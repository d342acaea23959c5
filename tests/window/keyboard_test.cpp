// The window from the keyboard: Tab, Enter and Space on rows and buttons, F10 and the Menu key.

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

// The popup menu open now, if any.
QMenu* openMenu() { return qobject_cast<QMenu*>(QApplication::activePopupWidget()); }

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

TEST_F(PairedWindowTest, F10OpensTheMenuAndShiftF10OrTheMenuKeyTheRowsContextMenu) {
  startPaired({render("a.png"), render("b.png", 1)});
  activate(window(), table());
  m_session->toolkit().selectRow(1);

  // What the popup menu that a key opened held, and where it stood; read while it is open (a
  // context menu is gone once it closes).
  struct Shown {
    bool open = false;
    QList<QAction*> actions;
    QRect geometry;
  };
  const auto openedBy = [&](const std::function<void()>& press) {
    auto shown = std::make_shared<Shown>();
    QTimer::singleShot(100, [shown] {
      if (QMenu* menu = openMenu()) {
        shown->open = true;
        shown->actions = menu->actions();
        shown->geometry = menu->geometry();
        menu->close();
      }
    });
    press();
    EXPECT_TRUE(waitUntil([&] { return shown->open; }));
    QApplication::processEvents();
    return *shown;
  };

  Shown menu = openedBy([&] { QTest::keyClick(&window(), Qt::Key_F10); });
  ASSERT_TRUE(menu.open) << "F10";
  EXPECT_EQ(menu.actions,
            (QList<QAction*>{window().nextAction(),
                             window().findChild<QAction*>(QStringLiteral("checkBatchAction")),
                             window().quitAction()}));

  activate(window(), table());
  menu = openedBy([&] { QTest::keyClick(&table(), Qt::Key_F10, Qt::ShiftModifier); });
  ASSERT_TRUE(menu.open) << "Shift+F10";
  EXPECT_EQ(menu.actions, (QList<QAction*>{window().compareAction(), window().removeAction(),
                                            window().undoAction()}));
  // At the focused row, not wherever the pointer is.
  const QRect row = table().visualRect(model().index(1, 0));
  const QRect rowOnScreen(table().viewport()->mapToGlobal(row.topLeft()), row.size());
  EXPECT_LE(std::abs(menu.geometry.top() - rowOnScreen.bottom()), 2);

  // The Menu key, as the platform hands it over: a context menu event of the keyboard.
  activate(window(), table());
  menu = openedBy([&] {
    QContextMenuEvent key(QContextMenuEvent::Keyboard, QPoint(1, 1),
                          table().mapToGlobal(QPoint(1, 1)));
    QApplication::sendEvent(&table(), &key);
  });
  ASSERT_TRUE(menu.open) << "the Menu key";
  EXPECT_EQ(menu.actions.size(), 3);
  EXPECT_LE(std::abs(menu.geometry.top() - rowOnScreen.bottom()), 2);
}

}  // namespace
}  // namespace quillmere::qt_testing
