// The window's pictures come from sandboxed worker processes: what a damaged file does to its
// decoder stays there.

#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QTableView>
#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <set>
#include <stop_token>

#include "inspect/digest.h"
#include "qt_fixture.h"
#include "support/sanitized.h"
#include "transfer/create_batch.h"
#include "window/main_window.h"
#include "window/thumbnail_cache.h"
#include "worker_faults.h"

namespace quillmere::qt_testing {
namespace {

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

TEST(WindowPictures, AFileThatCrashesOrHangsItsDecoderGetsNoPictureAndTheNextFileGetsItsOwn) {
  TempDir dir;
  ThumbnailCache::Options options;
  options.onCanvas = false;
  // Short, so the hanging decoder is killed soon; the test waits for the answers, not the time.
  options.timeLimit = std::chrono::milliseconds(500);
  ThumbnailCache pictures(options);
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

}  // namespace
}  // namespace quillmere::qt_testing
