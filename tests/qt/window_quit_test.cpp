#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QItemSelectionModel>
#include <QAction>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <stop_token>
#include <string>

#include "qt_fixture.h"
#include "transfer/create_batch.h"
#include "ui/save_flow.h"

namespace quillmere {
namespace {

using namespace qt_testing;

// A batch on the real file system that begins only once the test lets it: the test decides
// whether it ends while the quit question is open.
class HeldBatch {
 public:
  BatchRunner runner() {
    return [this](const BatchRequest& request, const BatchObserver& observer) {
      {
        std::unique_lock lock(m_mutex);
        m_released.wait(lock, observer.stop, [this] { return m_release; });
      }
      return runCreateBatch(request, observer);
    };
  }
  void release() {
    {
      std::lock_guard lock(m_mutex);
      m_release = true;
    }
    m_released.notify_all();
  }

 private:
  std::mutex m_mutex;
  std::condition_variable_any m_released;
  bool m_release = false;
};

class QuitTest : public WindowTest {
 protected:
  // One render paired and its save started into `out`, held before it writes anything.
  void startHeldSave() {
    const auto a = render("a.png");
    writeFile(m_dir / "a.CR3", "raw");
    std::filesystem::create_directory(out());
    start({a}, m_batch.runner());
    ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 1; }));
    ModalAnswerer answerer;
    answerer.fileAnswers.push_back(ModalAnswerer::choose(m_dir / "a.CR3"));
    window().chooseButton()->click();
    answerer.fileAnswers.push_back(ModalAnswerer::choose(out()));
    window().saveButton()->click();
    ASSERT_TRUE(window().progress()->isVisible());
  }
  std::string out() const { return m_dir / "out"; }
  // The batch folders in `out`, hidden staging folders left aside.
  int batchFolders() const {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(out())) {
      if (entry.path().filename().string().front() != '.') ++count;
    }
    return count;
  }

  HeldBatch m_batch;
};

QPushButton* buttonOf(QMessageBox& box, QMessageBox::ButtonRole role) {
  for (QAbstractButton* button : box.buttons()) {
    if (box.buttonRole(button) == role) return qobject_cast<QPushButton*>(button);
  }
  return nullptr;
}

// Ctrl+Q during a save, the save ending while the question is open, then the answer: the
// question has turned into one about quitting now, and answering it to quit ends the application
// at once, the batch kept and nothing on screen saying it will be removed.
TEST_F(QuitTest, ASaveThatEndsWhileTheQuestionIsOpenLetsTheAnswerQuitAtOnce) {
  startHeldSave();
  std::string askedFirst;
  std::string askedWhenAnswered;
  std::string quitButtonText;
  QString messageWhenAnswered;
  bool released = false;
  bool answered = false;
  QTimer user;
  QObject::connect(&user, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || !box->isVisible() || answered) return;
    if (!released) {
      askedFirst = box->text().toStdString();
      released = true;
      m_batch.release();
      return;
    }
    // The user reads the question again once the window says the save has ended.
    if (!window().message()->text().startsWith(u8("已保存 1 张"))) return;
    askedWhenAnswered = box->text().toStdString();
    QPushButton* quit = buttonOf(*box, QMessageBox::AcceptRole);
    ASSERT_NE(quit, nullptr);
    quitButtonText = quit->text().toStdString();
    messageWhenAnswered = window().message()->text();
    answered = true;
    quit->click();
  });
  user.start(10);
  QString messageAfterAnswer;
  const QObject listening;
  QObject::connect(qApp, &QCoreApplication::aboutToQuit, &listening,
                   [&] { messageAfterAnswer = window().message()->text(); });

  const int status = runEventLoop([&] { window().quitAction()->trigger(); });

  EXPECT_EQ(status, 0) << "the application ends after the answer, not only by the test's timeout";
  EXPECT_EQ(askedFirst, "照片正在保存。停止保存并退出吗？停止后已写入的内容将被删除。");
  EXPECT_EQ(askedWhenAnswered, "已保存 1 张照片。\n现在退出吗？");
  EXPECT_EQ(quitButtonText, "退出");
  EXPECT_FALSE(messageAfterAnswer.contains(u8("删除")))
      << messageAfterAnswer.toStdString() << ": the batch is published and stays";
  EXPECT_EQ(batchFolders(), 1);
}

// Escape on the changed question keeps the window, which says the save is done; the next quit asks
// nothing and closes it.
TEST_F(QuitTest, EscapeOnTheChangedQuestionKeepsTheWindowAndTheNextQuitAsksNothing) {
  startHeldSave();
  bool released = false;
  bool answered = false;
  QTimer user;
  QObject::connect(&user, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || !box->isVisible() || answered) return;
    if (!released) {
      released = true;
      m_batch.release();
      return;
    }
    if (box->text() != u8("已保存 1 张照片。\n现在退出吗？")) return;
    answered = true;
    QTest::keyClick(box, Qt::Key_Escape);
  });
  user.start(10);
  QTimer::singleShot(0, [&] { window().quitAction()->trigger(); });
  ASSERT_TRUE(waitUntil([&] { return answered && QApplication::activeModalWidget() == nullptr; }));
  QApplication::processEvents();
  EXPECT_TRUE(window().isVisible());
  EXPECT_TRUE(window().message()->text().startsWith(u8("已保存 1 张。")));
  EXPECT_TRUE(window().addButton()->isEnabled()) << "the window is at work as before";
  EXPECT_FALSE(window().progress()->isVisible());
  EXPECT_TRUE(window().close()) << "nothing runs: the window closes without a question";
  EXPECT_EQ(batchFolders(), 1);
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
}  // namespace quillmere
