// Quitting: the quit item, closing the window, a quit from outside, and a quit while saves run.

#include <QAction>
#include <QApplication>
#include <QBoxLayout>
#include <QDeadlineTimer>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QHeaderView>
#include <QHelpEvent>
#include <QItemSelectionModel>
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
#include <QToolTip>
#include <QUrl>
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
#include <vector>

#include "qt_fixture.h"
#include "support/images.h"
#include "support/temp_dir.h"
#include "transfer/create_batch.h"
#include "window_logic/save_flow.h"
#include "window/window_session.h"

namespace quillmere::qt_testing {
namespace {

using testing::TempDir;
using testing::writeFile;

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

  // Plays the user at the quit question: the first time it shows, `seen` reads it and the held
  // save is let go; from then on, once `ready` holds for the question, `answer` answers it, once.
  void atTheQuestion(std::function<void(QMessageBox&)> seen, std::function<bool(QMessageBox&)> ready,
                     std::function<void(QMessageBox&)> answer) {
    QObject::connect(&m_user, &QTimer::timeout, [=, this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr || !box->isVisible() || m_answered) return;
      if (!m_released) {
        if (seen) seen(*box);
        m_released = true;
        m_batch.release();
        return;
      }
      if (!ready(*box)) return;
      m_answered = true;
      answer(*box);
    });
    m_user.start(10);
  }
  bool answered() const { return m_answered; }

  HeldBatch m_batch;

 private:
  QTimer m_user;
  bool m_released = false;
  bool m_answered = false;
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
  atTheQuestion([&](QMessageBox& box) { askedFirst = box.text().toStdString(); },
                // The user reads the question again once the window says the save has ended.
                [&](QMessageBox&) { return window().message()->text().startsWith(u8("已保存 1 张")); },
                [&](QMessageBox& box) {
                  askedWhenAnswered = box.text().toStdString();
                  QPushButton* quit = buttonOf(box, QMessageBox::AcceptRole);
                  ASSERT_NE(quit, nullptr);
                  quitButtonText = quit->text().toStdString();
                  messageWhenAnswered = window().message()->text();
                  quit->click();
                });
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
  atTheQuestion({}, [](QMessageBox& box) { return box.text() == u8("已保存 1 张照片。\n现在退出吗？"); },
                [](QMessageBox& box) { QTest::keyClick(&box, Qt::Key_Escape); });
  QTimer::singleShot(0, [&] { window().quitAction()->trigger(); });
  ASSERT_TRUE(waitUntil([&] { return answered() && QApplication::activeModalWidget() == nullptr; }));
  QApplication::processEvents();
  EXPECT_TRUE(window().isVisible());
  EXPECT_TRUE(window().message()->text().startsWith(u8("已保存 1 张。")));
  EXPECT_TRUE(window().addButton()->isEnabled()) << "the window is at work as before";
  EXPECT_FALSE(window().progress()->isVisible());
  EXPECT_TRUE(window().close()) << "nothing runs: the window closes without a question";
  EXPECT_EQ(batchFolders(), 1);
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
}  // namespace quillmere::qt_testing
