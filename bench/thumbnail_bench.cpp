// Times the window's pictures, in one run of the real window on Qt's offscreen platform:
// 500 listed renders (20 MB JPEGs) paired with raw-like originals (25 MB DNG-like files carrying a
// 1616 x 1080 JPEG preview), then
//  (a) the time until every row in sight shows both pictures (target: within 5 s);
//  (b) scrolling a page on whenever the rows in sight are complete, the time until all 500 rows
//      have shown both pictures;
//  (c) the longest gap between ticks of a 5 ms timer on the event loop meanwhile (target: under
//      50 ms);
//  (d) the peak resident memory added meanwhile (target: under 100 MiB).
// The inputs are made by a child process first, so their buffers never count: DISTINCT different
// renders and originals (default 20), each hard-linked under 500 / DISTINCT names, so that the disk
// holds under 1 GB; decoding costs the same for every name, and the page cache holds them all.
// With "exif" as the fourth argument, each render carries a 160 x 107 EXIF thumbnail, as cameras and
// many editors write one; without, none, so that both kinds of export are measured. Then
//  (e) the decoding floor, in this one process on one thread: per distinct render, the time to
//      make its table picture from the EXIF thumbnail (where there is one) and from the whole
//      image reduced while decoding, and per original from its raw preview.
// The window is opened on the same files twice, as a photographer opens the same shoot again: the
// second opening finds the pictures the first kept in the desktop's thumbnail cache, which is a
// folder of the bench's own ($XDG_CACHE_HOME is set to it), so the user's own is never touched or
// used.
// Pictures may take up to 60 s each rather than the window's 2 s: on a machine shared with other
// work a decode can overrun the window's limit, and a row left without its picture would hold the
// bench up; the figures are of the time pictures take.
// Usage: thumbnail_bench [work-folder] [distinct] [openings] [exif]   (default: $TMPDIR or /tmp, 20, 2,
// none);
// removes what it made.

#include <unistd.h>

#include <QApplication>
#include <QImage>
#include <QImageReader>
#include <QScrollBar>
#include <QTableView>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "window_bench_support.h"
#include "support/images.h"
#include "window_logic/bridge_app.h"
#include "window_logic/window_texts.h"
#include "window/main_window.h"
#include "window/qt_toolkit.h"
#include "window/render_table_model.h"
#include "window/thumbnail_cache.h"
#include "thumbnail/exif_fixture.h"
#include "thumbnail/thumbnail.h"
#include "thumbnail/worker_mode.h"

namespace {

namespace fs = std::filesystem;
using namespace quillmere::bench;  // the shared clock, pictures, toolkit and watch

constexpr int kRows = 500;

std::string renderName(int row) { return "DSC_" + std::to_string(10000 + row) + ".jpg"; }
std::string originalName(int row) { return "DSC_" + std::to_string(10000 + row) + ".dng"; }

// The render at `path` with a 160 x 107 EXIF thumbnail of itself before its frame.
void addExifThumbnail(const fs::path& path) {
  QImageReader reader(QString::fromStdString(path.string()));
  reader.setScaledSize(QSize(160, 107));
  const QImage small = reader.read();
  std::ifstream in(path, std::ios::binary);
  const std::string render((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  const std::string withThumbnail =
      quillmere::testing::withExifThumbnail(render, quillmere::testing::jpegOf(small, 85));
  std::ofstream(path, std::ios::binary | std::ios::trunc) << withThumbnail;
}

// In a child process, so that none of this counts against the window's memory.
void makeInputs(const fs::path& folder, int distinct, bool exifThumbnails) {
  std::mt19937 rng(42);
  const quillmere::bench::PairBytes bytes = quillmere::bench::makeDistinctPairs(folder, distinct, rng);
  for (int i = 0; exifThumbnails && i < distinct; ++i) {
    addExifThumbnail(folder / ("distinct-" + std::to_string(i) + ".jpg"));
  }
  for (int row = 0; row < kRows; ++row) {
    const std::string source = "distinct-" + std::to_string(row % distinct);
    fs::create_hard_link(folder / (source + ".jpg"), folder / "renders" / renderName(row));
    fs::create_hard_link(folder / (source + ".dng"), folder / "originals" / originalName(row));
  }
  std::printf("inputs: %d renders of %.1f MB on average%s, %d originals of %.1f MB (%d distinct)\n",
              kRows, bytes.renders / distinct / 1e6,
              exifThumbnails ? " with EXIF thumbnails" : " without EXIF thumbnails", kRows,
              bytes.originals / distinct / 1e6, distinct);
}

long residentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // The window's pictures are made by this executable started again as a picture worker.
  if (quillmere::isPictureWorkerCall(argc, argv)) return quillmere::runPictureWorker();
  const int distinct = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
  const int openings = argc > 3 ? std::max(1, std::atoi(argv[3])) : 2;
  const quillmere::bench::ScratchFolder scratch(argc, argv, "thumbnail-bench");
  const fs::path& folder = scratch.path();
  fs::create_directories(folder / "renders");
  fs::create_directories(folder / "originals");
  const bool exifThumbnails = argc > 4 && std::string(argv[4]) == "exif";
  if (!quillmere::bench::runInChild([&] { makeInputs(folder, distinct, exifThumbnails); }).ok) {
    std::fprintf(stderr, "could not make the inputs\n");
    return 1;
  }

  fs::create_directories(folder / "desktop-cache");
  qputenv("XDG_CACHE_HOME", QByteArray::fromStdString(folder / "desktop-cache"));
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  qInstallMessageHandler(silent);
  QApplication application(argc, argv);

  std::vector<std::string> renders;
  std::vector<std::string> originals;
  for (int row = 0; row < kRows; ++row) {
    renders.push_back(fs::absolute(folder / "renders" / renderName(row)).lexically_normal());
    originals.push_back(fs::absolute(folder / "originals" / originalName(row)).lexically_normal());
  }

  // One opening of the window on the files, from nothing: its own window, list and pictures.
  const auto open = [&](int opening) {
    quillmere::MainWindow window;
    ScriptedToolkit toolkit(window, originals);
    quillmere::BridgeApp app(toolkit);
    quillmere::ThumbnailCache::Options options;
    options.embeddedPictures = true;  // as the window's table
    options.timeLimit = std::chrono::seconds(60);
    quillmere::ThumbnailCache pictures(options);
    quillmere::RenderTableModel model(app, pictures);
    toolkit.attach(model);
    QTableView& table = *window.table();
    table.setModel(&model);
    for (int column = 0; column < model.columnCount(); ++column) {
      table.setColumnWidth(column, static_cast<int>(quillmere::texts::kColumns[column].width));
    }
    window.show();
    QApplication::processEvents();

    const auto listing = Clock::now();
    app.openFiles(renders);
    app.chooseOriginal();
    const double listed = seconds(listing);
    if (app.rowCount() != kRows || app.originals().size() != kRows) {
      std::fprintf(stderr, "listed %zu renders, %zu paired\n", app.rowCount(),
                   app.originals().size());
      return false;
    }
    toolkit.selectRow(0);
    table.scrollToTop();

    const long baseline = residentKiB();
    long peak = baseline;
    quillmere::bench::GapWatch gaps([&] { peak = std::max(peak, residentKiB()); });
    gaps.start();

    const auto shown = [&](int row) {
      return model.index(row, 0).data(Qt::DecorationRole).isValid() &&
             model.index(row, 1).data(Qt::DecorationRole).isValid();
    };
    const auto inSight = [&] {
      const int first = std::max(0, table.rowAt(0));
      int last = table.rowAt(table.viewport()->height() - 1);
      if (last < 0) last = kRows - 1;
      return std::pair{first, last};
    };

    // The event loop runs as in the window, idle between events; a check every 10 ms looks at the
    // rows in sight (as the table's painting does) and scrolls on once they are complete.
    const auto start = Clock::now();
    double firstScreen = -1;
    std::vector<bool> done(kRows, false);
    int doneCount = 0;
    bool gaveUp = false;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
      const auto [first, last] = inSight();
      bool screenComplete = true;
      for (int row = first; row <= last; ++row) {
        if (!done[row] && shown(row)) {
          done[row] = true;
          ++doneCount;
        }
        screenComplete = screenComplete && done[row];
      }
      if (screenComplete) {
        if (firstScreen < 0) firstScreen = seconds(start);
        // The next page, as a user reading down the list would scroll.
        if (last + 1 < kRows) {
          table.scrollTo(model.index(last + 1, 0), QAbstractItemView::PositionAtTop);
        }
      }
      if (doneCount == kRows) QApplication::quit();
      if (seconds(start) > 600) {
        gaveUp = true;
        QApplication::quit();
      }
    });
    check.start(10);
    QApplication::exec();
    if (gaveUp) {
      std::fprintf(stderr, "gave up after 600 s with %d rows shown\n", doneCount);
      return false;
    }
    const double all = seconds(start);
    gaps.stop();
    const auto [first, last] = inSight();

    std::printf("opening %d: listing and pairing %d renders: %.2f s (not part of the figures below)\n", opening,
                  kRows, listed);
    std::printf("(a) rows in sight (%d) showing both pictures: %.2f s\n", last - first + 1,
                firstScreen);
    std::printf("(b) all %d rows shown, a page at a time: %.2f s (%d pictures made, %.1f per s)\n",
                kRows, all, pictures.madeCount(), pictures.madeCount() / all);
    std::printf("(c) longest gap between 5 ms timer ticks: %.1f ms\n", gaps.longest * 1000);
    std::printf("(d) peak resident memory added: %.1f MiB\n",
                static_cast<double>(peak - baseline) / 1024);
    std::printf("    originals decoded: %d (the others' pictures came from the desktop's cache)\n",
                pictures.originalsDecoded());
    return true;
  };
  for (int opening = 1; opening <= openings; ++opening) {
    if (!open(opening)) return 1;
  }

  // (e) What must be decoded, one file at a time on this thread, each distinct file once first so
  // that every one is in the page cache and the decoders are loaded.
  const QSize box(quillmere::layout::kPictureWidth, quillmere::layout::kPictureHeight);
  const auto medianMs = [&](const std::vector<std::string>& paths, quillmere::PictureSource source) {
    std::vector<double> times;
    for (const std::string& path : paths) {
      quillmere::makeThumbnail(path, box, std::chrono::seconds(60), source);
      const auto at = Clock::now();
      const QImage picture = quillmere::makeThumbnail(path, box, std::chrono::seconds(60), source);
      times.push_back(seconds(at) * 1000);
      if (picture.isNull()) std::fprintf(stderr, "no picture of %s\n", path.c_str());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
  };
  std::vector<std::string> distinctRenders;
  std::vector<std::string> distinctOriginals;
  for (int i = 0; i < distinct; ++i) {
    distinctRenders.push_back(folder / ("distinct-" + std::to_string(i) + ".jpg"));
    distinctOriginals.push_back(folder / ("distinct-" + std::to_string(i) + ".dng"));
  }
  const double embedded = medianMs(distinctRenders, quillmere::PictureSource::embeddedWhereLargeEnough);
  const double whole = medianMs(distinctRenders, quillmere::PictureSource::wholeImage);
  const double preview = medianMs(distinctOriginals, quillmere::PictureSource::wholeImage);
  std::printf("(e) one picture, median of %d files, one thread: render %.1f ms as the table makes it "
              "(EXIF thumbnail where there is one), %.1f ms from the whole image; original's raw "
              "preview %.1f ms\n",
              distinct, embedded, whole, preview);
  return 0;
}
