#pragma once

#include <QCache>
#include <QObject>
#include <QPixmap>
#include <QSet>
#include <QSize>
#include <QString>
#include <QThreadPool>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "thumbnail/thumbnail.h"

namespace quillmere {

class PictureWorkers;

// Worker processes for the window's pictures, one per core, started now so that the first
// pictures asked for do not wait for them to load their decoders.
std::shared_ptr<PictureWorkers> startPictureWorkers();

// The pictures the table, the larger look and the comparison view show, asked for on a pool of
// background threads of the lowest priority, one per core, that belongs to this cache alone, and
// made by sandboxed worker processes the window's caches share (PictureWorkers): no file is
// decoded in the window's process, so a damaged file that crashes or hangs a decoder costs its
// picture and nothing else (a lost worker's picture is tried once more on a fresh one, since a
// worker can be lost to causes other than its file). The picture asked for last is made first, so the
// rows in sight come before those scrolled past. Pictures are kept in a cache with a cap; a file
// that gives none is remembered as such and not read again. Pictures are made at the screen's
// pixel density: a box of 42 x 28 at a device pixel ratio of 2 is made of 84 x 56 pixels.
//
// Small pictures are kept for next time in the desktop's shared thumbnail cache, where file
// managers keep theirs: a current entry there gives the picture without the original being read,
// and a picture made from the original is written there (by this process, never by a worker).
// The entry's text chunks are checked here with a bounded reader that decompresses nothing; its
// pixels are decoded by a worker like any file's.
class ThumbnailCache : public QObject {
  Q_OBJECT

 public:
  struct Options {
    // The most the kept pictures may hold.
    qsizetype cacheBytes = qsizetype{16} << 20;
    // Pictures centred on a transparent canvas of the box's size (the table's, which line up), or
    // as large as they come out (the comparison view's, which would waste memory on margins).
    bool onCanvas = true;
    // Pictures taken from the smaller ones files hold where those are large enough for the box
    // (the table's), or always from the whole image (the comparison view's, whose boxes are large).
    bool embeddedPictures = false;
    // How long one picture may take.
    std::chrono::milliseconds timeLimit = kThumbnailTimeLimit;
    // The worker processes that make the pictures, shared with the window's other caches so that
    // together they keep no more than one per core; when empty, the cache starts its own.
    std::shared_ptr<PictureWorkers> workers;
    // Whether pictures of at most 256 device pixels are looked for, and kept, in the desktop's
    // thumbnail cache ($XDG_CACHE_HOME/thumbnails).
    bool desktopThumbnails = true;
  };

  explicit ThumbnailCache(QObject* parent = nullptr);
  explicit ThumbnailCache(const Options& options, QObject* parent = nullptr);
  ThumbnailCache(const ThumbnailCache&) = delete;
  ThumbnailCache& operator=(const ThumbnailCache&) = delete;
  // Drops the pending work and waits for the pictures being made (each bounded in time).
  ~ThumbnailCache() override;

  enum class Lookup { pending, ready, none };

  // The picture of this file fitted into `box` (device-independent pixels) and made for a screen
  // of this device pixel ratio, when it is ready: centred on a transparent canvas of the box's
  // size when the cache makes them so. Otherwise asks for it (once) and tells whether it is on
  // its way or the file gives none. Main thread only.
  std::pair<Lookup, QPixmap> picture(const QString& path, QSize box, qreal devicePixelRatio = 1.0);

  // Forgets the pending work for every file not in `paths` (rows that were removed).
  void retainOnly(const QSet<QString>& paths);
  // Forgets all pending work (the window is closing).
  void dropPending();

  // How many pictures have been made so far (for the benchmark and tests).
  int madeCount() const { return m_made; }
  // How many pictures were made by decoding the file itself, not an entry of the desktop's
  // thumbnail cache (for the benchmark and tests).
  int originalsDecoded() const { return m_originalsDecoded; }
  // How many picture workers this cache's own pictures have cost (crashed, killed for their time
  // or by their filter), counted before the answer that cost them is delivered; the window's
  // other cache, sharing the workers, counts its own (for the tests).
  int workersLost() const { return m_workersLost; }
  QThreadPool& pool() { return m_pool; }

 signals:
  // A picture asked for is ready, or the file turned out to give none.
  void pictureReady(const QString& path);

 private:
  struct Request {
    QString path;
    QSize pixels;  // the box in device pixels
    qreal ratio = 1.0;
  };
  static QString keyOf(const QString& path, QSize pixels);

  void makeNewest();
  // The picture of one request, from the desktop's thumbnail cache when it holds a current one;
  // on a pool thread.
  QImage make(const Request& request);
  void deliver(const Request& request, QImage image);

  const Options m_options;

  std::shared_ptr<PictureWorkers> m_workers;
  QThreadPool m_pool;
  // Pixmaps by file and size; the cost is the pixmap's bytes.
  QCache<QString, QPixmap> m_pictures;
  // Files that gave no picture at a size (not counted against the cap: a few bytes each).
  QSet<QString> m_none;
  QSet<QString> m_asked;
  int m_made = 0;
  std::atomic<int> m_workersLost = 0;
  std::atomic<int> m_originalsDecoded = 0;
  // The desktop's thumbnail cache's folder, when it is used.
  std::optional<std::string> m_desktopThumbnails;

  // Shared with the pool's threads.
  std::mutex m_mutex;
  std::vector<Request> m_pending;  // newest last
};

// The desktop's icon for a file that is no image, by its name alone (the main thread reads no
// file), at most `box` in size at this device pixel ratio; nothing for images, which show their
// picture or, when it cannot be made, nothing.
QPixmap typeIcon(const QString& path, QSize box, qreal devicePixelRatio = 1.0);

// A box of device-independent pixels in device pixels.
QSize devicePixels(QSize box, qreal devicePixelRatio);

}  // namespace quillmere
