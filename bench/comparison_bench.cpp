// Times the comparison view: a 20 MB JPEG render (5400 x 3600, quality 98) beside a raw-like
// original (a 26 MB DNG-like file carrying a 1616 x 1080 JPEG preview), from the moment the view is
// asked for (Space on a row) until both pictures are on screen, for pairs whose pictures have not
// been made before (target: within 0.3 s), and the longest gap between ticks of a 5 ms timer on
// the event loop meanwhile (target: under 50 ms). The view covers the screen's available area, so
// the figures depend on the screen. The window makes the view's pictures of the selected row ahead
// once the selection rests on it; the last line gives the time to open the view then. Run it under
// an X server the size of a photographer's screen,
//
//   xvfb-run -s "-screen 0 1920x1080x24" build/bench/comparison_bench
//
// or without one on Qt's offscreen platform (800 x 600). The inputs are made by a child process
// first; DISTINCT different pairs (default 5), each opened once, the page cache holding the files.
// Each line gives when the view was up and when each picture reached the main thread; the run
// fails if a picture was made at another size than it is shown at (made twice).
// Usage: comparison_bench [work-folder] [distinct]   (default: $TMPDIR or /tmp, 5); removes what
// it made.

#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QScreen>
#include <QTableView>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "window_bench_support.h"
#include "support/images.h"
#include "window_logic/bridge_app.h"
#include "window/comparison_view.h"
#include "window/main_window.h"
#include "window/qt_text.h"
#include "window/qt_toolkit.h"
#include "window/render_table_model.h"
#include "thumbnail/thumbnail.h"
#include "window/thumbnail_cache.h"
#include "thumbnail/worker_mode.h"

namespace {

namespace fs = std::filesystem;
using namespace quillmere::bench;  // the shared clock, pictures, toolkit and watch

// Rows between two pairs opened, so that no pair opened was made before as a neighbour.
constexpr int kStride = 3;

std::string renderPath(const fs::path& folder, int row) {
  return fs::absolute(folder / ("DSC_" + std::to_string(10000 + row) + ".jpg")).lexically_normal();
}
std::string originalPath(const fs::path& folder, int row) {
  return fs::absolute(folder / ("DSC_" + std::to_string(10000 + row) + ".dng")).lexically_normal();
}

// In a child process, so that none of this counts against the window.
void makeInputs(const fs::path& folder, int distinct, int rows) {
  std::mt19937 rng(7);
  const quillmere::bench::PairBytes bytes = quillmere::bench::makeDistinctPairs(folder, distinct, rng);
  // Each row names its own files (hard links), so no picture of one row serves another.
  for (int row = 0; row < rows; ++row) {
    const std::string source = "distinct-" + std::to_string((row / kStride) % distinct);
    fs::create_hard_link(folder / (source + ".jpg"), renderPath(folder, row));
    fs::create_hard_link(folder / (source + ".dng"), originalPath(folder, row));
  }
  std::printf("inputs: %d renders of %.1f MB, originals of %.1f MB with a %d x %d preview\n",
              distinct, bytes.renders / distinct / 1e6, bytes.originals / distinct / 1e6,
              kPreviewWidth, kPreviewHeight);
}

// The calling thread's own processor time, in seconds: what the event loop's thread spent,
// whatever else the machine runs.
double threadSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// When the view was first painted after being asked for: its whole window is painted in one pass,
// so a zero-timer posted from its paint event runs once the pass is over.
class FirstPaint : public QObject {
 public:
  void arm() {
    m_armed = true;
    painted = false;
  }
  bool painted = false;
  Clock::time_point wallAt;
  double threadAt = 0;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (m_armed && event->type() == QEvent::Paint) {
      m_armed = false;
      QTimer::singleShot(0, this, [this] {
        wallAt = Clock::now();
        threadAt = threadSeconds();
        painted = true;
      });
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  bool m_armed = false;
};

// Processes events until `done` holds or `limit` seconds have passed.
bool runUntil(const std::function<bool()>& done, double limit) {
  const auto start = Clock::now();
  while (!done()) {
    if (seconds(start) > limit) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 1);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // The window's pictures are made by this executable started again as a picture worker.
  if (quillmere::isPictureWorkerCall(argc, argv)) return quillmere::runPictureWorker();
  const int distinct = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  const int rows = distinct * kStride;
  const quillmere::bench::ScratchFolder scratch(argc, argv, "comparison-bench");
  const fs::path& folder = scratch.path();
  if (!quillmere::bench::runInChild([&] { makeInputs(folder, distinct, rows); }).ok) {
    std::fprintf(stderr, "could not make the inputs\n");
    return 1;
  }

  // The table's pictures are kept in a desktop thumbnail cache of the bench's own, never the user's.
  fs::create_directories(folder / "desktop-cache");
  qputenv("XDG_CACHE_HOME", QByteArray::fromStdString(folder / "desktop-cache"));
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  qInstallMessageHandler(silent);
  QApplication application(argc, argv);

  std::vector<std::string> renders;
  std::vector<std::string> originals;
  for (int row = 0; row < rows; ++row) {
    renders.push_back(renderPath(folder, row));
    originals.push_back(originalPath(folder, row));
  }
  quillmere::MainWindow window;
  ScriptedToolkit toolkit(window, originals);
  quillmere::BridgeApp app(toolkit);
  // As in the window: one set of workers for both caches.
  quillmere::ThumbnailCache::Options tableOptions;
  tableOptions.workers = quillmere::startPictureWorkers();
  // The table's pictures are only the scene here: a decode that a busy machine slows past the
  // window's 2 s must not leave a row without its picture and the bench without its start.
  tableOptions.timeLimit = std::chrono::seconds(60);
  quillmere::ThumbnailCache pictures(tableOptions);
  quillmere::ThumbnailCache::Options largeOptions = quillmere::ComparisonView::pictureOptions();
  largeOptions.workers = tableOptions.workers;
  quillmere::ThumbnailCache large(largeOptions);
  quillmere::RenderTableModel model(app, pictures);
  toolkit.attach(model);
  window.table()->setModel(&model);
  auto* view = new quillmere::ComparisonView(large, &window);
  view->rowCount = [&] { return static_cast<int>(app.rowCount()); };
  view->pairAt = [&](int row) {
    const std::string& render = app.renders()[static_cast<std::size_t>(row)];
    return quillmere::ComparisonView::Pair{quillmere::qPath(render),
                                           quillmere::qPath(app.originals().at(render)),
                                           model.index(row, 1).data().toString()};
  };
  window.show();
  app.openFiles(renders);
  app.chooseOriginal();
  if (app.originals().size() != static_cast<std::size_t>(rows)) {
    std::fprintf(stderr, "paired %zu of %d\n", app.originals().size(), rows);
    return 1;
  }
  // The table's own pictures made first: the view is measured alone, as when a user compares.
  const auto tableDone = [&] {
    for (int row = 0; row < std::min(rows, 8); ++row) {
      if (!model.index(row, 0).data(Qt::DecorationRole).isValid() ||
          !model.index(row, 1).data(Qt::DecorationRole).isValid()) {
        return false;
      }
    }
    return pictures.pool().activeThreadCount() == 0;
  };
  if (!runUntil(tableDone, 60)) {
    std::fprintf(stderr, "the table's pictures did not come\n");
    return 1;
  }

  quillmere::bench::GapWatch gaps;

  std::vector<double> shown;
  double worstGap = 0;
  FirstPaint firstPaint;
  view->installEventFilter(&firstPaint);
  // From asking for the view until it was first painted: the time, and the event loop's thread's
  // own processor time meanwhile (the stall the opening itself costs, less the machine's load).
  std::vector<std::pair<double, double>> firstPainted;
  QSize box;
  for (int i = 0; i < distinct; ++i) {
    const int row = i * kStride;
    // Both pictures on screen: complete, and painted once since.
    bool complete = false;
    bool painted = false;
    view->complete = [&] {
      complete = true;
      QTimer::singleShot(0, [&] {
        view->repaint();
        painted = true;
      });
    };
    gaps.start();
    const auto start = Clock::now();
    // When each picture reached the main thread, and when the view had been shown.
    std::vector<double> arrivals;
    const auto arrival = QObject::connect(&large, &quillmere::ThumbnailCache::pictureReady,
                                          [&] { arrivals.push_back(seconds(start)); });
    firstPaint.arm();
    const double threadStart = threadSeconds();
    view->open(row);
    const double opened = seconds(start);
    const QSize boxAtOpen = view->pictureBox();
    if (!runUntil([&] { return complete && painted; }, 10)) {
      std::fprintf(stderr, "the view of row %d did not complete\n", row);
      return 1;
    }
    const double took = seconds(start);
    gaps.stop();
    if (!firstPaint.painted) {
      std::fprintf(stderr, "the view of row %d was never painted\n", row);
      return 1;
    }
    firstPainted.emplace_back(std::chrono::duration<double>(firstPaint.wallAt - start).count(),
                              firstPaint.threadAt - threadStart);
    box = view->pictureBox();
    shown.push_back(took);
    worstGap = std::max(worstGap, gaps.longest);
    QObject::disconnect(arrival);
    if (view->pictureBox() != boxAtOpen || arrivals.size() != 2) {
      std::fprintf(stderr, "row %d: the pictures were made at another size than shown\n", row);
      return 1;
    }
    std::printf("row %2d: both pictures shown after %.3f s (view shown after %.3f s, pictures in "
                "after %.3f and %.3f s, first painted after %.1f ms, %.1f ms of the event loop's "
                "thread); longest event-loop gap %.1f ms\n",
                row, took, opened, arrivals.size() > 0 ? arrivals[0] : -1.0,
                arrivals.size() > 1 ? arrivals[1] : -1.0, firstPainted.back().first * 1000,
                firstPainted.back().second * 1000, gaps.longest * 1000);
    view->close();
    // The neighbours asked for after it are made (or dropped) before the next one is timed.
    runUntil([&] { return large.pool().activeThreadCount() == 0; }, 10);
    runUntil([] { return false; }, 0.2);
  }
  // The same once the selection has rested on the row, as in the window: its pictures made ahead.
  std::vector<double> rested;
  for (int i = 0; i < distinct; ++i) {
    const int row = i * kStride + 1;
    view->prefetch(row);
    runUntil([&] { return large.pool().activeThreadCount() == 0; }, 10);
    runUntil([] { return false; }, 0.1);
    bool complete = false;
    view->complete = [&] { complete = true; };
    const auto start = Clock::now();
    view->open(row);
    if (!runUntil([&] { return complete; }, 10)) return 1;
    view->repaint();
    rested.push_back(seconds(start));
    view->close();
    runUntil([&] { return large.pool().activeThreadCount() == 0; }, 10);
  }
  std::sort(rested.begin(), rested.end());
  // The floor: the render's reduced decode alone, nothing else running in this process.
  std::vector<double> decodes;
  for (int i = 0; i < 3; ++i) {
    const auto start = Clock::now();
    const QImage picture = quillmere::makeThumbnail(renderPath(folder, i * kStride + 2), box);
    decodes.push_back(seconds(start));
    if (picture.isNull()) return 1;
  }
  std::sort(decodes.begin(), decodes.end());

  std::sort(shown.begin(), shown.end());
  // Other work on the machine slows the decodes down; the figures say how busy it was.
  std::string load;
  std::getline(std::ifstream("/proc/loadavg"), load);
  std::printf("load average at the end (1, 5, 15 min): %s\n", load.substr(0, load.find(' ', 15)).c_str());
  const QSize screen = window.screen()->availableGeometry().size();
  std::printf("screen %d x %d (pixel ratio %.1f), each picture fitted to %d x %d\n",
              screen.width(), screen.height(), window.devicePixelRatioF(), box.width(),
              box.height());
  std::printf("shown within: median %.3f s, slowest %.3f s (target 0.3 s)\n",
              shown[shown.size() / 2], shown.back());
  std::printf("longest event-loop gap meanwhile: %.1f ms (target under 50 ms)\n", worstGap * 1000);
  std::vector<double> laterThread;
  for (std::size_t i = 1; i < firstPainted.size(); ++i) laterThread.push_back(firstPainted[i].second);
  std::sort(laterThread.begin(), laterThread.end());
  std::printf("the first opening, until first painted: %.1f ms, %.1f ms of the event loop's thread "
              "(later openings: median %.1f ms of it)\n",
              firstPainted[0].first * 1000, firstPainted[0].second * 1000,
              laterThread.empty() ? 0.0 : laterThread[laterThread.size() / 2] * 1000);
  std::printf("after the selection rested on the row: median %.3f s, slowest %.3f s\n",
              rested[rested.size() / 2], rested.back());
  std::printf("the render's reduced decode alone, for comparison: median %.3f s\n", decodes[1]);
  return 0;
}
