// The window's pictures come from sandboxed worker processes: what a damaged file does to its
// decoder stays there.

#include <QPixmap>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <cstdlib>
#include <set>

#include "qt_fixture.h"
#include "window/main_window.h"
#include "window/thumbnail_cache.h"

namespace quillmere::qt_testing {
namespace {

// A file that makes the decoding worker crash, hang, or try to open a file (which its filter
// punishes), as damaged files do to decoders; the workers only act on it when the tests say so.
std::string hostile(const char* fault) {
  qputenv("QUILLMERE_PICTURE_WORKER_FAULTS", "1");
  return std::string("QUILLMERE-TEST-FAULT:") + fault;
}

TEST(WindowPictures, AFileThatCrashesOrHangsItsDecoderGetsNoPictureAndTheNextFileGetsItsOwn) {
  TempDir dir;
  ThumbnailCache::Options options;
  options.onCanvas = false;
  // Short, so the hanging decoder is killed soon; the test waits for the answers, not the time.
  options.timeLimit = std::chrono::milliseconds(500);
  ThumbnailCache pictures(options);
  std::set<QString> answered;
  QObject::connect(&pictures, &ThumbnailCache::pictureReady,
                   [&](const QString& path) { answered.insert(path); });
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
  ASSERT_TRUE(waitUntil([&] { return answered.size() == bad.size() + 1; }));
  for (const QString& path : bad) {
    SCOPED_TRACE(path.toStdString());
    EXPECT_EQ(pictures.picture(path, box).first, ThumbnailCache::Lookup::none);
  }
  const auto [lookup, pixmap] = pictures.picture(good, box);
  ASSERT_EQ(lookup, ThumbnailCache::Lookup::ready);
  EXPECT_EQ(pixmap.size(), QSize(64, 32));
}

// An original whose decoder crashes, chosen for a render as a photographer would: the window, its
// list and the pairing stay, and the next original chosen gets its picture.
TEST_F(WindowTest, AnOriginalThatCrashesItsDecoderLeavesTheWindowItsListAndPairings) {
  start({render("a.png"), render("b.png", 1)});
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 2; }));
  writeFile(m_dir / "a.CR3", hostile("crash"));
  writeFile(m_dir / "b.jpg", testing::jpegImage(300, 200));
  ThumbnailCache& pictures = m_session->pictures();
  std::set<QString> answered;
  QObject::connect(&pictures, &ThumbnailCache::pictureReady,
                   [&](const QString& path) { answered.insert(path); });
  ModalAnswerer answerer;
  answerer.fileAnswers.push_back(ModalAnswerer::choose(m_dir / "a.CR3"));
  m_session->toolkit().selectRow(0);
  window().chooseButton()->click();
  ASSERT_TRUE(waitUntil([&] { return cell(0, 1) == "a.CR3"; }));
  window().table()->viewport()->repaint();
  const QString crashing = QString::fromStdString(m_dir / "a.CR3");
  ASSERT_TRUE(waitUntil([&] { return answered.count(crashing) == 1; }));

  answerer.fileAnswers.push_back(ModalAnswerer::choose(m_dir / "b.jpg"));
  m_session->toolkit().selectRow(1);
  window().chooseButton()->click();
  const auto decoration = [&](int row) { return model().index(row, 1).data(Qt::DecorationRole); };
  ASSERT_TRUE(waitUntil([&] {
    window().table()->viewport()->update();
    return !decoration(1).value<QPixmap>().isNull();
  }));
  EXPECT_EQ(decoration(1).value<QPixmap>().size(),
            QSize(layout::kPictureWidth, layout::kPictureHeight));
  EXPECT_TRUE(decoration(0).value<QPixmap>().isNull());
  EXPECT_EQ(model().rowCount(), 2);
  EXPECT_EQ(cell(0, 1), "a.CR3");
  EXPECT_EQ(cell(1, 1), "b.jpg");
  EXPECT_TRUE(window().isVisible());
}

}  // namespace
}  // namespace quillmere::qt_testing
