// The window's pictures come from sandboxed worker processes: what a damaged file does to its
// decoder stays there.

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
#include <QLocalSocket>
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
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <limits>
#include <memory>
#include <mutex>
#include <set>
#include <signal.h>
#include <sstream>
#include <stop_token>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "inspect/digest.h"
#include "picture_worker/picture_channel.h"
#include "qt_fixture.h"
#include "support/child_process.h"
#include "support/images.h"
#include "support/sanitized.h"
#include "support/temp_dir.h"
#include "transfer/create_batch.h"
#include "window/comparison_view.h"
#include "window/main_window.h"
#include "window/render_item_delegate.h"
#include "window/single_window.h"
#include "window/thumbnail_cache.h"
#include "window/window_session.h"
#include "worker_faults.h"

namespace quillmere::qt_testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using testing::TempDir;
using testing::writeFile;

// A photo with content of its own: a field of pure red, a white band and a blue one.
std::string redWhiteBlueJpeg() {
  QImage image(300, 200, QImage::Format_RGB32);
  image.fill(QColor(254, 0, 0));
  QPainter painter(&image);
  painter.fillRect(0, 70, 300, 60, Qt::white);
  painter.fillRect(0, 140, 300, 60, QColor(0, 0, 200));
  painter.end();
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");
  return bytes.toStdString();
}

// The picture workers this process started that still run.
std::vector<pid_t> pictureWorkers() {
  std::vector<pid_t> workers;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(text.substr(close + 2));
    char state = 0;
    pid_t parent = -1;
    fields >> state >> parent;
    if (parent != ::getpid() || state == 'Z') continue;
    std::ifstream command(entry.path() / "cmdline");
    std::string line((std::istreambuf_iterator<char>(command)), std::istreambuf_iterator<char>());
    if (line.find(kPictureWorkerFlag) != std::string::npos) workers.push_back(std::stoi(name));
  }
  return workers;
}

// The worker that holds `path` open, or -1.
pid_t workerHolding(const std::filesystem::path& path) {
  for (const pid_t worker : pictureWorkers()) {
    std::error_code error;
    for (const auto& fd : std::filesystem::directory_iterator(
             "/proc/" + std::to_string(worker) + "/fd", error)) {
      if (std::filesystem::read_symlink(fd.path(), error) == path) return worker;
    }
  }
  return -1;
}

// A file that makes the decoding worker crash, hang, or try to open a file (which its filter
// punishes), as damaged files do to decoders; only this test executable's workers act on it.
std::string hostile(const char* fault) { return testing::faultFile(fault); }

// The files a cache has answered for, with a picture or none, and the workers its pictures have
// cost since this began to watch: not those of the window's other cache, which makes the
// comparison view's pictures of a selected row ahead, of the same crashing file too, once the
// selection has rested. It sees only what comes after it is built: build it before anything that
// may ask for a picture it is to see (before a window is shown, a file chosen, a picture asked
// for), or a worker lost and an answer given meanwhile would be missed, the more often the faster
// the machine gets to them.
class PictureAnswers {
 public:
  explicit PictureAnswers(ThumbnailCache& pictures)
      : m_pictures(pictures), m_lostBefore(pictures.workersLost()) {
    // Through a context of its own, so no answer reaches it once it has gone.
    QObject::connect(&pictures, &ThumbnailCache::pictureReady, &m_context,
                     [this](const QString& path) { m_answered.insert(path); });
  }
  bool has(const std::string& path) const {
    return m_answered.contains(QString::fromStdString(path));
  }
  std::size_t count() const { return m_answered.size(); }
  int workersLost() const { return m_pictures.workersLost() - m_lostBefore; }

 private:
  ThumbnailCache& m_pictures;
  int m_lostBefore;
  std::set<QString> m_answered;
  QObject m_context;
};

// A save that runs the real createBatch and holds once its staging folder exists, until the test
// lets it go on to its end.
class HeldSave {
 public:
  BatchRunner runner() {
    return [state = m_state](const BatchRequest& request, const BatchObserver& observer) {
      BatchObserver held = observer;
      held.progress = [&observer, state](const BatchProgress& progress) {
        if (observer.progress) observer.progress(progress);
        if (progress.phase != BatchPhase::staging) return;
        std::unique_lock lock(state->mutex);
        state->holding = true;
        state->changed.wait(lock, observer.stop, [&] { return state->go; });
      };
      return createBatch(request, posixFileSystem(), &held);
    };
  }
  bool holding() {
    const std::lock_guard lock(m_state->mutex);
    return m_state->holding;
  }
  void release() {
    const std::lock_guard lock(m_state->mutex);
    m_state->go = true;
    m_state->changed.notify_all();
  }
  ~HeldSave() { release(); }

 private:
  // Shared with the save's thread, which may outlive this object by the end of its batch.
  struct State {
    std::mutex mutex;
    std::condition_variable_any changed;
    bool holding = false;
    bool go = false;
  };
  std::shared_ptr<State> m_state = std::make_shared<State>();
};

// Every picture thread of `pictures` held until the returned release is called, so pictures asked
// for meanwhile wait in line; the release also runs when the test ends.
std::shared_ptr<void> holdPictureThreads(ThumbnailCache& pictures, std::function<void()>& release) {
  struct Gate {
    std::mutex mutex;
    std::condition_variable released;
    bool go = false;
  };
  // Shared with the held tasks: one the pool starts after the test has ended still finds it.
  const auto gate = std::make_shared<Gate>();
  release = [gate] {
    const std::lock_guard lock(gate->mutex);
    gate->go = true;
    gate->released.notify_all();
  };
  for (int i = 0; i < pictures.pool().maxThreadCount(); ++i) {
    pictures.pool().start([gate] {
      std::unique_lock lock(gate->mutex);
      gate->released.wait(lock, [&] { return gate->go; });
    });
  }
  return std::shared_ptr<void>(nullptr, [release](void*) { release(); });
}

// The bytes of every file below `root`.
std::multiset<std::string> contentsBelow(const std::string& root) {
  std::multiset<std::string> contents;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) contents.insert(testing::readFile(entry.path().string()));
  }
  return contents;
}

// This process's memory figure `field` of /proc/self/status ("VmRSS", "VmHWM"), in KiB.
long long memoryKiB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string name;
  long long value = -1;
  while (status >> name) {
    if (name == field + ":") {
      status >> value;
      return value;
    }
    status.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  }
  return -1;
}

// A cache of pictures as the files give them, not set on a row's canvas, each given `timeLimit`.
ThumbnailCache::Options picturesAsTheyAre(std::chrono::milliseconds timeLimit) {
  ThumbnailCache::Options options;
  options.onCanvas = false;
  options.timeLimit = timeLimit;
  return options;
}

TEST(WindowPictures, AFileThatCrashesOrHangsItsDecoderGetsNoPictureAndTheNextFileGetsItsOwn) {
  TempDir dir;
  // Short, so the hanging decoder is killed soon; the test waits for the answers, not the time.
  ThumbnailCache pictures(picturesAsTheyAre(std::chrono::milliseconds(500)));
  const PictureAnswers answered(pictures);
  const QSize box(64, 32);
  std::vector<QString> bad;
  for (const char* fault : {"crash", "hang", "open"}) {
    const std::string path = dir / numbered(fault, 1, ".NEF");
    writeFile(path, hostile(fault));
    bad.push_back(QString::fromStdString(path));
  }
  const QString good = QString::fromStdString(dir / "good.jpg");
  writeFile(dir / "good.jpg", testing::jpegImage(300, 150));
  // The good file is asked for last, so it is made after the damaged ones have cost their workers.
  for (const QString& path : bad) pictures.picture(path, box);
  pictures.picture(good, box);
  ASSERT_TRUE(waitUntil([&] { return answered.count() == bad.size() + 1; }));
  // Each is tried once more on a fresh worker, which it ends too.
  EXPECT_EQ(answered.workersLost(), 2 * static_cast<int>(bad.size()));
  for (const QString& path : bad) {
    SCOPED_TRACE(path.toStdString());
    EXPECT_EQ(pictures.picture(path, box).first, ThumbnailCache::Lookup::none);
  }
  const auto [lookup, pixmap] = pictures.picture(good, box);
  ASSERT_EQ(lookup, ThumbnailCache::Lookup::ready);
  EXPECT_EQ(pixmap.size(), QSize(64, 32));
}

// Originals whose decoder crashes, chosen for renders as a photographer would: one made to crash
// on purpose, and a 64-byte file that crashes the installed LibRaw itself while it opens it
// (found in its TIFF directory parser). The window, its list and the pairings stay, and the next
// original chosen gets its picture.
TEST_F(WindowTest, AnOriginalThatCrashesItsDecoderLeavesTheWindowItsListAndPairings) {
  start({render("a.png"), render("b.png", 1), render("c.png", 2)});
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 3; }));
  writeFile(m_dir / "a.CR3", hostile("crash"));
  writeFile(m_dir / "b.dng",
            testing::readFile(std::string(QUILLMERE_FUZZ_DIR) +
                              "/regressions/decoder-faults/libraw-raf-makernote-crash.tif"));
  writeFile(m_dir / "c.jpg", testing::jpegImage(300, 200));
  const PictureAnswers answered(m_session->pictures());
  ModalAnswerer answerer;
  const char* crashing[] = {"a.CR3", "b.dng"};
  for (int row : {0, 1}) {
    SCOPED_TRACE(crashing[row]);
    answerer.fileAnswers.push_back(ModalAnswerer::choose(m_dir / crashing[row]));
    m_session->toolkit().selectRow(row);
    window().chooseButton()->click();
    ASSERT_TRUE(waitUntil([&] { return cell(row, 1) == crashing[row]; }));
    window().table()->viewport()->repaint();
    ASSERT_TRUE(waitUntil([&] { return answered.has(m_dir / crashing[row]); }));
    EXPECT_EQ(answered.workersLost(), 2 * (row + 1)) << "a fresh worker tried it again";
  }

  answerer.fileAnswers.push_back(ModalAnswerer::choose(m_dir / "c.jpg"));
  m_session->toolkit().selectRow(2);
  window().chooseButton()->click();
  const auto decoration = [&](int row) { return model().index(row, 1).data(Qt::DecorationRole); };
  ASSERT_TRUE(waitUntil([&] {
    window().table()->viewport()->update();
    return !decoration(2).value<QPixmap>().isNull();
  }));
  EXPECT_EQ(decoration(2).value<QPixmap>().size(),
            QSize(layout::kPictureWidth, layout::kPictureHeight));
  EXPECT_TRUE(decoration(0).value<QPixmap>().isNull());
  EXPECT_TRUE(decoration(1).value<QPixmap>().isNull());
  EXPECT_EQ(model().rowCount(), 3);
  EXPECT_EQ(cell(0, 1), "a.CR3");
  EXPECT_EQ(cell(1, 1), "b.dng");
  EXPECT_EQ(cell(2, 1), "c.jpg");
  EXPECT_TRUE(window().isVisible());
}

// A TIFF render, which the worker offers to LibRaw before libtiff, whose decoding crashes: it is
// listed as any render, shows no picture, and the window, its list and the next render's picture
// stay.
TEST_F(WindowTest, ATiffRenderThatCrashesItsDecoderLeavesTheWindowAndItsList) {
  writeFile(m_dir / "a.tif", testing::tiffImage(40, 30) + hostile("crash"));
  const std::string good = render("b.png", 1);
  create({m_dir / "a.tif"});
  // Once shown, the window lists the render and asks for its picture at once.
  const PictureAnswers answered(m_session->pictures());
  show();
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 1; }));
  const auto decoration = [&](int row) { return model().index(row, 0).data(Qt::DecorationRole); };
  ASSERT_TRUE(waitUntil([&] {
    window().table()->viewport()->update();
    return answered.has(m_dir / "a.tif");
  }));
  EXPECT_EQ(answered.workersLost(), 2) << "a fresh worker tried it again";

  m_session->app().append({good});
  ASSERT_TRUE(waitUntil([&] {
    window().table()->viewport()->update();
    return model().rowCount() == 2 && !decoration(1).value<QPixmap>().isNull();
  }));
  EXPECT_TRUE(decoration(0).value<QPixmap>().isNull());
  EXPECT_EQ(cell(0, 0), "a.tif");
  EXPECT_EQ(cell(1, 0), "b.png");
  EXPECT_TRUE(window().isVisible());
}

// An original whose decoder crashes while a save runs: the crash costs that picture only. The
// window, its list and pairings stay, the next original gets its picture, and the save goes on to
// a batch of both renders, its manifest vouching for both originals, the crashing one included.
TEST_F(WindowTest, ADecoderCrashWhileASaveRunsLeavesTheWindowItsListAndTheSave) {
  HeldSave save;
  start({render("a.png"), render("b.png", 1)}, save.runner());
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 2; }));
  writeFile(m_dir / "a.CR3", hostile("crash"));
  writeFile(m_dir / "b.jpg", testing::jpegImage(300, 200));
  const PictureAnswers answered(m_session->pictures());
  // The originals' pictures are asked for as they are chosen, but made only once the save runs.
  std::function<void()> letPicturesGo;
  const auto heldPictures = holdPictureThreads(m_session->pictures(), letPicturesGo);
  ModalAnswerer answerer;
  for (int row : {0, 1}) {
    answerer.fileAnswers.push_back(ModalAnswerer::choose(m_dir / (row == 0 ? "a.CR3" : "b.jpg")));
    m_session->toolkit().selectRow(row);
    window().chooseButton()->click();
    window().table()->viewport()->repaint();
  }
  ASSERT_EQ(cell(1, 1), "b.jpg");
  TempDir out;
  answerer.fileAnswers.push_back(ModalAnswerer::choose(out.path()));
  window().saveButton()->click();
  ASSERT_TRUE(waitUntil([&] { return save.holding(); }));

  letPicturesGo();
  ASSERT_TRUE(
      waitUntil([&] { return answered.has(m_dir / "a.CR3") && answered.has(m_dir / "b.jpg"); }));
  const auto decoration = [&](int row) { return model().index(row, 1).data(Qt::DecorationRole); };
  EXPECT_EQ(answered.workersLost(), 2) << "the crash cost its worker, and a fresh one";
  EXPECT_TRUE(decoration(0).value<QPixmap>().isNull());
  EXPECT_EQ(decoration(1).value<QPixmap>().size(),
            QSize(layout::kPictureWidth, layout::kPictureHeight));
  EXPECT_EQ(m_session->toolkit().runningJobs(), 1u) << "the crash came while the save was running";
  EXPECT_TRUE(window().isVisible());
  EXPECT_EQ(model().rowCount(), 2);
  EXPECT_EQ(cell(0, 1), "a.CR3");

  save.release();
  ASSERT_TRUE(waitUntil([&] { return window().message()->text().startsWith(u8("已保存 2 张")); }));
  const std::multiset<std::string> saved = contentsBelow(out.path());
  EXPECT_EQ(saved.size(), 3u) << "two renders and the manifest";
  for (const char* name : {"a.png", "b.png"}) {
    EXPECT_EQ(saved.count(testing::readFile(m_dir / name)), 1u) << name;
  }
  const auto manifest = std::find_if(
      saved.begin(), saved.end(), [](const std::string& bytes) { return bytes.starts_with("{"); });
  ASSERT_NE(manifest, saved.end());
  for (const char* name : {"a.CR3", "b.jpg"}) {
    EXPECT_NE(manifest->find(sha256(m_dir / name)), std::string::npos) << name;
  }
  EXPECT_TRUE(window().isVisible());
  EXPECT_EQ(model().rowCount(), 2);
}

// Full-size TIFF, the usual export for print, gets its table picture through the window's picture
// path (its cache and a worker): 24 megapixels at 8 and 16 bits, and 505 MiB of 16-bit pixels,
// just inside the largest render a batch admits. The file is read in the worker, band by band; the
// window's process at its highest grows by far less than 100 MiB while it is made. How fast is the
// benchmarks' to say: the time limit here is stretched, so a loaded machine cannot fail it.
TEST_F(WindowTest, LargeTiffRendersGetTheirPictureWithoutGrowingTheWindow) {
  const struct {
    const char* name;
    std::uint32_t width;
    std::uint32_t height;
    int bits;
    bool lzw;
  } cases[] = {
      {"24mp-8.tif", 6000, 4000, 8, false},
      {"24mp-16-lzw.tif", 6000, 4000, 16, true},
      {"505mib-16.tif", 11000, 8020, 16, false},
  };
#ifdef QUILLMERE_SANITIZED
  // A memory figure: under a sanitizer its shadow memory counts in the resident figures.
  // Thumbnail.LargeTiffRendersGetTheirPicture reads the same files there.
  GTEST_SKIP() << "resident memory of an instrumented build";
#endif
  ThumbnailCache::Options options;
  options.timeLimit = 10 * kThumbnailTimeLimit;
  ThumbnailCache pictures(options);
  const PictureAnswers answered(pictures);
  const QSize box(layout::kPictureWidth, layout::kPictureHeight);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Each file is removed once its picture is checked.
    const TempDir folder;
    const std::string path = folder / c.name;
    ASSERT_TRUE(testing::writeTwoColourTiff(path, c.width, c.height, c.bits, c.lzw));
    // The highest mark starts again from what the process holds now.
    std::ofstream("/proc/self/clear_refs") << "5";
    const long long before = memoryKiB("VmRSS");
    ASSERT_GT(before, 0);
    ASSERT_LE(memoryKiB("VmHWM") - before, 1024) << "the highest mark was not reset";
    const QString asked = QString::fromStdString(path);
    pictures.picture(asked, box);
    ASSERT_TRUE(waitUntil([&] { return answered.has(path); }));
    const long long grown = memoryKiB("VmHWM") - before;
    EXPECT_LT(grown, 100 * 1024) << grown << " KiB";
    const auto [lookup, pixmap] = pictures.picture(asked, box);
    ASSERT_EQ(lookup, ThumbnailCache::Lookup::ready) << "no picture";
    const QImage picture = pixmap.toImage();
    const int middle = picture.width() / 2;
    const QRgb left = picture.pixel(middle - 5, picture.height() / 2);
    const QRgb right = picture.pixel(middle + 4, picture.height() / 2);
    EXPECT_GT(qRed(left), 240);
    EXPECT_LT(qBlue(left), 15);
    EXPECT_GT(qBlue(right), 240);
    EXPECT_LT(qRed(right), 15);
  }
}

TEST_F(PairedWindowTest, APictureInASelectedRowHasExactlyThePixelsOfAnUnselectedOne) {
  const std::string bytes = redWhiteBlueJpeg();
  writeFile(m_dir / "DSC_1.png", bytes);
  writeFile(m_dir / "DSC_2.png", bytes);
  start({m_dir / "DSC_1.png", m_dir / "DSC_2.png"});
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 2; }));
  ASSERT_TRUE(waitUntil([&] { return pictured(0, 0) && pictured(1, 0); }));
  m_session->toolkit().selectRow(0);
  for (const bool focused : {true, false}) {
    SCOPED_TRACE(focused ? "the table has the keyboard" : "the keyboard is elsewhere");
    activate(window(), focused ? static_cast<QWidget&>(table()) : *window().addButton());
    const QImage shot = table().viewport()->grab().toImage();
    const qreal ratio = shot.devicePixelRatio();
    const auto pixels = [&](const QRect& rect) {
      return shot.copy(QRect((rect.topLeft() * ratio), rect.size() * ratio));
    };
    const QImage selected = pixels(slot(0, 0));
    const QImage unselected = pixels(slot(1, 0));
    ASSERT_EQ(selected.size(), unselected.size());
    int differing = 0;
    for (int y = 0; y < selected.height(); ++y) {
      for (int x = 0; x < selected.width(); ++x) {
        differing += selected.pixel(x, y) != unselected.pixel(x, y) ? 1 : 0;
      }
    }
    EXPECT_EQ(differing, 0);
    // And the picture is there: pure red at the middle of its red field.
    EXPECT_EQ(QColor(selected.pixel(selected.width() / 2, selected.height() / 6)).red(), 254);
    // The row itself shows the selection: its background, beside the picture.
    const QRect text = RenderItemDelegate::textArea(table().visualRect(model().index(0, 0)));
    EXPECT_NE(shot.pixel(text.right() * ratio, text.top() * ratio + 2),
              shot.pixel(text.right() * ratio, (text.top() + 32) * ratio + 2));
  }
}

TEST_F(PairedWindowTest, NamesStayWhereTheyAreWhetherAPictureIsOnItsWayHereOrNeverComes) {
  writeFile(m_dir / "x1.jpg", testing::jpegImage(300, 200));
  // A PNG whose header is sound but whose pixels are cut off: listed, but it gives no picture.
  std::string damaged = testing::pngImage(300, 200, 3);
  damaged.resize(60);
  writeFile(m_dir / "x2.png", damaged);
  ThumbnailCache* pictures = nullptr;
  struct Gate {
    std::mutex mutex;
    std::condition_variable released;
    bool go = false;
  };
  const auto gate = std::make_shared<Gate>();
  const auto release = [gate] {
    const std::lock_guard lock(gate->mutex);
    gate->go = true;
    gate->released.notify_all();
  };
  const std::unique_ptr<Gate, std::function<void(Gate*)>> releaseAtEnd(
      gate.get(), [release](Gate*) { release(); });
  start();
  pictures = &m_session->pictures();
  for (int i = 0; i < pictures->pool().maxThreadCount(); ++i) {
    pictures->pool().start([gate] {
      std::unique_lock lock(gate->mutex);
      gate->released.wait(lock, [&] { return gate->go; });
    });
  }
  m_session->app().openFiles({m_dir / "x1.jpg", m_dir / "x2.png"});
  ASSERT_EQ(model().rowCount(), 2) << "the damaged PNG must be listed for this test";
  m_session->toolkit().selectRow(1);
  activate(window(), *window().addButton());
  // Where the name starts: the first pixel right of the picture's slot unlike the row's background.
  const auto nameStart = [&](int row) {
    const QImage shot = table().viewport()->grab().toImage();
    const QRect cell = table().visualRect(model().index(row, 0));
    const QRect text = RenderItemDelegate::textArea(cell);
    const int y0 = cell.top() + 6;
    const QRgb background = shot.pixel(RenderItemDelegate::pictureSlot(cell).right() + 3, y0);
    for (int x = RenderItemDelegate::pictureSlot(cell).right() + 1; x < text.right(); ++x) {
      for (int y = y0; y < cell.bottom() - 6; ++y) {
        if (shot.pixel(x, y) != background) return x;
      }
    }
    return -1;
  };
  const auto placeholder = [&](int row) {
    const QImage shot = table().viewport()->grab().toImage();
    const QRect box = slot(row, 0);
    return shot.pixel(box.center()) != shot.pixel(box.right() + 3, box.center().y());
  };
  QApplication::processEvents();
  const int pendingFirst = nameStart(0);
  const int pendingSecond = nameStart(1);
  EXPECT_TRUE(placeholder(0)) << "the slot shows a placeholder while the picture is on its way";
  release();
  ASSERT_TRUE(waitUntil([&] { return pictured(0, 0) && pictures->madeCount() >= 2; }));
  EXPECT_FALSE(pictured(1, 0)) << "the damaged PNG gives none";
  QApplication::processEvents();
  EXPECT_GT(pendingFirst, 0);
  EXPECT_EQ(nameStart(0), pendingFirst) << "the name did not move when its picture came";
  EXPECT_EQ(nameStart(1), pendingSecond) << "nor where none came";
  EXPECT_EQ(pendingFirst, pendingSecond) << "one column, one edge";
  EXPECT_TRUE(placeholder(1)) << "a file with no picture keeps the slot's placeholder";
}

// Run at a scale factor of 2 by the test `qt_tests_high_density` (QT_SCALE_FACTOR=2).
TEST_F(PairedWindowTest, PicturesAreMadeAtTheScreensPixelDensity) {
  writeFile(m_dir / "DSC_1.jpg", testing::jpegImage(600, 400));
  start({m_dir / "DSC_1.jpg"});
  const qreal ratio = window().devicePixelRatioF();
  const QByteArray expected = qgetenv("QUILLMERE_EXPECT_PIXEL_RATIO");
  if (!expected.isEmpty()) {
    ASSERT_EQ(ratio, expected.toDouble());
  }
  if (ratio == 1.0) GTEST_SKIP() << "a scale of 1; qt_tests_high_density runs this at 2";
  ASSERT_TRUE(waitUntil([&] { return pictured(0, 0); }));
  const auto picture = model().index(0, 0).data(Qt::DecorationRole).value<QPixmap>();
  EXPECT_EQ(picture.devicePixelRatio(), ratio);
  EXPECT_EQ(picture.size(), (QSize(layout::kPictureWidth, layout::kPictureHeight) * ratio));
  EXPECT_EQ(picture.deviceIndependentSize().toSize(),
            QSize(layout::kPictureWidth, layout::kPictureHeight));
}

TEST_F(PairedWindowTest, TheFocusedRowsFrameStandsOutFromTheSelectionInLightAndDarkPalettes) {
  // Without originals: the source cells have a muted text colour of their own, which the frame
  // across them must not take.
  start({render("a.png"), render("b.png", 1)});
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 2; }));
  QPalette dark;
  dark.setColor(QPalette::Base, QColor(30, 30, 30));
  dark.setColor(QPalette::Text, QColor(230, 230, 230));
  dark.setColor(QPalette::Highlight, QColor(42, 130, 218));
  dark.setColor(QPalette::HighlightedText, Qt::white);
  for (const auto& [name, palette] :
       {std::pair{"light", QApplication::palette()}, std::pair{"dark", dark}}) {
    SCOPED_TRACE(name);
    table().setPalette(palette);
    m_session->toolkit().selectRow(0);
    activate(window(), table());
    const QImage shot = table().viewport()->grab().toImage();
    const QRect row = table().visualRect(model().index(0, 0));
    const QColor selection = palette.color(QPalette::Active, QPalette::Highlight);
    // The frame along the row's top and at its start, standing out from the selection inside it
    // and from the table's background outside it.
    const QColor top = shot.pixel(row.center().x(), row.top() + 1);
    const QColor start = shot.pixel(row.left() + 1, row.center().y());
    EXPECT_EQ(QColor(shot.pixel(row.center().x(), row.top() + 5)), selection);
    EXPECT_GE(RenderItemDelegate::contrast(top, palette.color(QPalette::Active, QPalette::Base)),
              3.0);
    EXPECT_GE(RenderItemDelegate::contrast(top, selection), 3.0) << top.name().toStdString();
    EXPECT_EQ(start, top);
    // The same frame over the second cell, to the row's end.
    const QRect second = table().visualRect(model().index(0, 1));
    EXPECT_EQ(QColor(shot.pixel(second.center().x(), second.top() + 1)), top);
    EXPECT_EQ(QColor(shot.pixel(second.center().x(), second.bottom())), top);
    EXPECT_EQ(QColor(shot.pixel(second.right() - 1, second.center().y())), top);
    // Without the keyboard, no frame.
    activate(window(), *window().addButton());
    const QImage unfocused = table().viewport()->grab().toImage();
    EXPECT_NE(QColor(unfocused.pixel(row.center().x(), row.top() + 1)), top);
  }
}

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

// A worker killed from outside while it makes a picture (by the user, or by the system short of
// memory) costs that worker only: the picture is made again on a fresh one. A file that ends the
// fresh one too gives no picture.
TEST(WindowPictures, APictureWhoseWorkerIsKilledFromOutsideIsMadeOnAFreshWorker) {
  TempDir dir;
  // Only the test's kill ends the worker, never its time; a time that still ends, so that a
  // worker the test fails to find cannot keep the cache's end waiting past the test's own limit.
  ThumbnailCache pictures(picturesAsTheyAre(std::chrono::seconds(60)));
  int lostBefore = pictures.workersLost();
  const std::filesystem::path path = dir / "photo.jpg";
  // The worker spins on the file, as on one large enough to take a while.
  writeFile(path, testing::faultFile("hang"));
  const QString file = QString::fromStdString(path);
  ASSERT_EQ(pictures.picture(file, QSize(64, 32)).first, ThumbnailCache::Lookup::pending);
  pid_t worker = -1;
  ASSERT_TRUE(waitUntil([&] { return (worker = workerHolding(path)) > 0; }));
  // The same file, now one the next worker decodes at once.
  {
    std::ofstream same(path, std::ios::binary | std::ios::trunc);
    same << testing::jpegImage(300, 150);
  }
  ASSERT_EQ(::kill(worker, SIGKILL), 0);
  ASSERT_TRUE(
      waitUntil([&] { return pictures.picture(file, QSize(64, 32)).first !=
                             ThumbnailCache::Lookup::pending; }));
  const auto [lookup, pixmap] = pictures.picture(file, QSize(64, 32));
  EXPECT_EQ(lookup, ThumbnailCache::Lookup::ready);
  EXPECT_EQ(pixmap.size(), QSize(64, 32));
  EXPECT_EQ(pictures.workersLost() - lostBefore, 1);

  // Killed again on its second worker: no picture, and two workers lost.
  const std::filesystem::path twice = dir / "twice.jpg";
  writeFile(twice, testing::faultFile("hang"));
  const QString twiceFile = QString::fromStdString(twice);
  lostBefore = pictures.workersLost();
  pictures.picture(twiceFile, QSize(64, 32));
  for (int round = 0; round < 2; ++round) {
    pid_t holding = -1;
    ASSERT_TRUE(waitUntil([&] { return (holding = workerHolding(twice)) > 0 && holding != worker; }));
    worker = holding;
    ASSERT_EQ(::kill(worker, SIGKILL), 0);
  }
  ASSERT_TRUE(waitUntil([&] {
    return pictures.picture(twiceFile, QSize(64, 32)).first == ThumbnailCache::Lookup::none;
  }));
  EXPECT_EQ(pictures.workersLost() - lostBefore, 2);
}

// A render that ends its first worker and the fresh one too shows what the window shows for any
// picture that cannot be made: the list keeps its placeholder and the comparison view says so.
TEST_F(WindowTest, ARenderThatEndsTwoWorkersShowsThatItsPictureCannotBeMade) {
  writeFile(m_dir / "a.tif", testing::tiffImage(40, 30) + testing::faultFile("crash"));
  create({m_dir / "a.tif"});
  const int tableLost = m_session->pictures().workersLost();
  const int largeLost = m_session->largePictures().workersLost();
  show();
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 1; }));
  ASSERT_TRUE(waitUntil([&] {
    window().table()->viewport()->update();
    return m_session->pictures().workersLost() - tableLost == 2;
  }));
  m_session->comparison().open(0);
  ASSERT_TRUE(waitUntil([&] {
    return m_session->comparison().renderPicture()->text() == u8("无法显示这张照片");
  }));
  EXPECT_EQ(m_session->largePictures().workersLost() - largeLost, 2);
  EXPECT_TRUE(model().index(0, 0).data(Qt::DecorationRole).value<QPixmap>().isNull());
  m_session->comparison().hide();
  EXPECT_EQ(cell(0, 0), "a.tif");
}

}  // namespace
}  // namespace quillmere::qt_testing
