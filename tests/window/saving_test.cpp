// Saving from the window: saves on threads of their own, the progress bar, the outcome on the
// message line, and the pair at fault kept marked.

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

// Counts the paint events a widget gets.
class PaintCounter : public QObject {
 public:
  explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
  int count = 0;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++count;
    return false;
  }
};

// Batches seen running on a thread of Qt's global pool.
std::atomic<int> g_batchesOnGlobalPool{0};

// A batch that runs the real createBatch and holds once its staging folder exists, until it is
// asked to stop; then it rolls back as any stopped batch does.
BatchResult heldBatch(const BatchRequest& request, const BatchObserver& observer) {
  if (QThreadPool::globalInstance()->contains(QThread::currentThread())) ++g_batchesOnGlobalPool;
  BatchObserver held = observer;
  held.progress = [&observer](const BatchProgress& progress) {
    if (observer.progress) observer.progress(progress);
    if (progress.phase != BatchPhase::staging) return;
    std::mutex mutex;
    std::condition_variable_any never;
    std::unique_lock lock(mutex);
    never.wait(lock, observer.stop, [] { return false; });
  };
  return createBatch(request, posixFileSystem(), &held);
}

TEST_F(PairedWindowTest, SavesRunOnThreadsOfTheirOwnSoTheWindowStaysPromptAndAQuitRollsEachBack) {
  const int cores = QThread::idealThreadCount();
  for (const int saves : {1, cores + 1}) {
    SCOPED_TRACE(std::to_string(saves) + " saves at once on " + std::to_string(cores) + " cores");
    TempDir out;
    startPaired({render("a.png"), render("b.png", 1)}, heldBatch);
    for (int i = 0; i < saves; ++i) {
      ModalAnswerer answerer;
      answerer.fileAnswers.push_back(ModalAnswerer::choose(out.path()));
      // Only the save button is disabled while a batch runs; the list's rule enables it again.
      m_session->app().refresh();
      ASSERT_TRUE(window().saveButton()->isEnabled());
      window().saveButton()->click();
      ASSERT_TRUE(answerer.fileAnswers.empty());
    }
    // The staging folders only: for an instant as it starts, a batch also has its owner record
    // beside its folder, under the same prefix.
    const auto staged = [&] {
      int count = 0;
      for (const auto& entry : fs::directory_iterator(out.path())) {
        count += entry.is_directory() &&
                         entry.path().filename().string().starts_with(".quillmere-partial-")
                     ? 1
                     : 0;
      }
      return count;
    };
    ASSERT_TRUE(waitUntil([&] { return staged() == saves; })) << staged();
    EXPECT_EQ(g_batchesOnGlobalPool.load(), 0) << "no batch holds a thread of Qt's global pool";

    // While every save is still running (each is held until it is stopped), the event loop runs:
    // a posted event and a repaint are handled, which a batch on the main thread would forbid.
    const auto allRunning = [&] {
      return m_session->toolkit().runningJobs() == static_cast<std::size_t>(saves) &&
             staged() == saves;
    };
    bool posted = false;
    QMetaObject::invokeMethod(qApp, [&] { posted = true; }, Qt::QueuedConnection);
    ASSERT_TRUE(waitUntil([&] { return posted; }));
    EXPECT_TRUE(allRunning()) << "the posted event was handled while the saves ran";
    PaintCounter paints(table().viewport());
    table().viewport()->update();
    ASSERT_TRUE(waitUntil([&] { return paints.count > 0; }));
    EXPECT_TRUE(allRunning()) << "the repaint happened while the saves ran";
    // Qt's smooth scaling spreads over its global pool and waits for it, as its painting does: it
    // ends while the saves still hold their threads, which it could not if they held the pool's.
    std::atomic<bool> scaled{false};
    std::thread scaler([&] {
      QImage large(4000, 3000, QImage::Format_RGB32);
      large.fill(Qt::gray);
      scaled = !large.scaled(1000, 750, Qt::KeepAspectRatio, Qt::SmoothTransformation).isNull();
    });
    EXPECT_TRUE(waitUntil([&] { return scaled.load(); })) << "smooth scaling never ended";
    EXPECT_TRUE(allRunning()) << "the scaling ended while the saves ran";

    // Quitting (once the question is answered) stops every save within a chunk; each rolls back
    // before the window goes.
    ModalAnswerer stopping;
    EXPECT_EQ(runEventLoop([&] { window().close(); }), 0);
    EXPECT_EQ(stopping.alerts.size(), 1u);
    scaler.join();
    EXPECT_TRUE(fs::is_empty(out.path())) << "every staging folder removed";
    EXPECT_TRUE(waitUntil([&] { return m_session->toolkit().runningJobs() == 0; }));
    m_session.reset();
  }
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

TEST_F(PairedWindowTest, AfterAFailedSaveThePairAtFaultStaysSelectedAndMarked) {
  Strings renders;
  for (int i = 0; i < 14; ++i) renders.push_back(render(numbered("r", 10 + i, ".png"), i));
  startPaired(renders, [](const BatchRequest&, const BatchObserver& observer) -> BatchResult {
    observer.failed(BatchFailureSite{12, BatchSubject::render});
    throw BridgeFailure("照片在处理期间发生变化，请等导出完成后重试。");
  });
  const std::string text = "照片在处理期间发生变化，请等导出完成后重试。\n" + renders[12];
  m_session->toolkit().selectRow(0);
  table().scrollToTop();
  TempDir out;
  ModalAnswerer answerer;
  answerer.fileAnswers.push_back(ModalAnswerer::choose(out.path()));
  window().saveButton()->click();
  ASSERT_TRUE(waitUntil([&] { return !answerer.alerts.empty(); }));
  ASSERT_TRUE(waitUntil([&] { return m_session->toolkit().selectedRow() == 12; }));
  EXPECT_EQ(answerer.alerts, (Strings{text}));
  QApplication::processEvents();
  EXPECT_TRUE(table().viewport()->rect().contains(table().visualRect(model().index(12, 0))))
      << "scrolled into view";
  for (int column : {0, 1}) {
    EXPECT_EQ(model().index(12, column).data(Qt::ToolTipRole).toString().toStdString(), text);
  }
  EXPECT_NE(model().index(11, 0).data(Qt::ToolTipRole).toString().toStdString(), text);
  // The sign on its picture, whether the picture has come or not.
  ASSERT_TRUE(waitUntil([&] { return pictured(12, 0) && pictured(11, 0); }));
  const QImage marked = model().index(12, 0).data(Qt::DecorationRole).value<QPixmap>().toImage();
  const QImage plain = m_session->pictures()
                           .picture(QString::fromStdString(renders[12]),
                                    QSize(layout::kPictureWidth, layout::kPictureHeight))
                           .second.toImage();
  EXPECT_NE(marked, plain);
  EXPECT_EQ(window().message()->text(), u8("保存未完成，保存文件夹没有改动。请按提示处理后再试。"))
      << "the line no longer says the window is working";

  // The larger look over it holds back no failure: its tooltip still says why.
  window().rowHovered(12);
  ASSERT_TRUE(m_session->preview().isVisible());
  const QPoint at = table().visualRect(model().index(12, 1)).center();
  QHelpEvent help(QEvent::ToolTip, at, table().viewport()->mapToGlobal(at));
  QApplication::sendEvent(table().viewport(), &help);
  EXPECT_TRUE(QToolTip::isVisible());
  EXPECT_EQ(QToolTip::text().toStdString(), text);
  QToolTip::hideText();
}

}  // namespace
}  // namespace quillmere::qt_testing
