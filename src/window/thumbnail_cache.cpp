#include "window/thumbnail_cache.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QImage>
#include <QMimeDatabase>
#include <QPainter>
#include <QStyle>
#include <QThread>
#include <algorithm>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "desktop_thumbnails/cache_folders.h"
#include "desktop_thumbnails/entry_check.h"
#include "desktop_thumbnails/entry_writer.h"
#include "desktop_thumbnails/thumbnail_names.h"
#include "picture_worker/picture_workers.h"
#include "platform/unique_fd.h"

namespace quillmere {

namespace {

QPixmap onCanvas(const QImage& image, QSize box) {
  QPixmap canvas(box);
  canvas.fill(Qt::transparent);
  QPainter painter(&canvas);
  const QSize size = image.size().boundedTo(box);
  const QRect target(QPoint((box.width() - size.width()) / 2, (box.height() - size.height()) / 2),
                     size);
  painter.drawImage(target, image);
  return canvas;
}

QImage imageOf(const Picture& picture) {
  QImage image(static_cast<int>(picture.width), static_cast<int>(picture.height),
               picture.alpha ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
  if (image.isNull()) return {};
  for (int y = 0; y < image.height(); ++y) {
    std::memcpy(image.scanLine(y),
                picture.pixels.data() + std::size_t{picture.width} * static_cast<std::size_t>(y),
                std::size_t{picture.width} * sizeof(std::uint32_t));
  }
  return image;
}

// The picture of an open file fitted into `pixels`, made by a worker. A worker the picture cost
// is counted in `workersLost`.
QImage pictureFromWorker(PictureWorkers& workers, int fd, QSize pixels,
                         std::chrono::milliseconds timeLimit, bool embeddedPictures,
                         std::atomic<int>& workersLost) {
  const PictureJob job{static_cast<std::uint32_t>(pixels.width()),
                       static_cast<std::uint32_t>(pixels.height()),
                       static_cast<std::uint32_t>(timeLimit.count()), embeddedPictures};
  PictureWorkers::Result result = workers.make(fd, job);
  if (result.workerLost) {
    ++workersLost;
    // A worker can be lost to something other than the file: killed from outside (by the user,
    // by the system short of memory) or out of time on a busy machine. The picture is tried once
    // more on a fresh worker; a file that ends that one too gives none.
    result = workers.make(fd, job);
    if (result.workerLost) ++workersLost;
  }
  if (result.outcome != PictureWorkers::Outcome::picture) return {};
  return imageOf(result.picture);
}

// A picture made at the thumbnail cache's size, fitted into the box asked for.
QImage fitted(QImage image, QSize pixels) {
  if (image.width() <= pixels.width() && image.height() <= pixels.height()) return image;
  return image.scaled(pixels, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

// Keeps the picture of `file` in the desktop's thumbnail cache when the file is still as it was
// read. Whatever stands in the way (a read-only home, a full disk) costs the entry only.
void keepInDesktopCache(const std::string& root, ThumbnailFlavour flavour, int fd,
                        const struct stat& read, const std::string& uri, const QString& path,
                        const QImage& image) {
  struct stat now {};
  if (::fstat(fd, &now) != 0 || now.st_mtim.tv_sec != read.st_mtim.tv_sec ||
      now.st_size != read.st_size) {
    return;
  }
  const QImage rgba = image.convertToFormat(QImage::Format_RGBA8888);
  if (rgba.isNull() || rgba.bytesPerLine() != qsizetype{rgba.width()} * 4) return;
  const QMimeDatabase types;
  const EntrySource source{uri, static_cast<long long>(read.st_mtim.tv_sec),
                           static_cast<long long>(read.st_size),
                           types.mimeTypeForFile(path, QMimeDatabase::MatchExtension)
                               .name()
                               .toStdString()};
  const EntryPixels pixels{
      rgba.width(), rgba.height(),
      std::span(reinterpret_cast<const std::uint8_t*>(rgba.constBits()),
                static_cast<std::size_t>(rgba.sizeInBytes()))};
  try {
    writeEntry(root, flavour, source, pixels);
  } catch (...) {
    // Out of memory while encoding: the picture itself is already made.
  }
}

}  // namespace

std::shared_ptr<PictureWorkers> startPictureWorkers() {
  PictureWorkers::Options options;
  options.maxWorkers = pictureWorkersPerMachine();
  auto workers = std::make_shared<PictureWorkers>(options);
  workers->startAhead();
  return workers;
}

ThumbnailCache::ThumbnailCache(QObject* parent) : ThumbnailCache(Options{}, parent) {}

ThumbnailCache::ThumbnailCache(const Options& options, QObject* parent)
    : QObject(parent),
      m_options(options),
      m_workers(options.workers ? options.workers : startPictureWorkers()),
      m_pictures(options.cacheBytes),
      m_desktopThumbnails(options.desktopThumbnails ? desktopThumbnailsRoot() : std::nullopt) {
  m_pool.setMaxThreadCount(std::max(1, QThread::idealThreadCount()));
  m_pool.setThreadPriority(QThread::LowestPriority);
}

ThumbnailCache::~ThumbnailCache() {
  dropPending();
  m_pool.waitForDone();
}

QString ThumbnailCache::keyOf(const QString& path, QSize pixels) {
  return QString::number(pixels.width()) + QLatin1Char('x') + QString::number(pixels.height()) +
         QLatin1Char(':') + path;
}

std::pair<ThumbnailCache::Lookup, QPixmap> ThumbnailCache::picture(const QString& path, QSize box,
                                                                   qreal devicePixelRatio) {
  const qreal ratio = devicePixelRatio > 0 ? devicePixelRatio : 1.0;
  const QSize pixels = devicePixels(box, ratio);
  const QString key = keyOf(path, pixels);
  if (const QPixmap* ready = m_pictures.object(key)) {
    QPixmap shown = *ready;
    shown.setDevicePixelRatio(ratio);
    return {Lookup::ready, shown};
  }
  if (m_none.contains(key)) return {Lookup::none, {}};
  if (m_asked.contains(key)) return {Lookup::pending, {}};
  m_asked.insert(key);
  {
    const std::lock_guard lock(m_mutex);
    m_pending.push_back({path, pixels, ratio});
  }
  // One job per request; each takes whatever was asked for last when it gets a thread.
  m_pool.start([this] { makeNewest(); });
  return {Lookup::pending, {}};
}

void ThumbnailCache::makeNewest() {
  Request request;
  {
    const std::lock_guard lock(m_mutex);
    if (m_pending.empty()) return;
    request = std::move(m_pending.back());
    m_pending.pop_back();
  }
  QImage image = make(request);
  // The cache outlives every job (its destructor waits for them), and a queued call to an object
  // that has gone is dropped.
  QMetaObject::invokeMethod(
      this,
      [this, request = std::move(request), image = std::move(image)]() mutable {
        deliver(request, std::move(image));
      },
      Qt::QueuedConnection);
}

QImage ThumbnailCache::make(const Request& request) {
  // The file is opened here, on a pool thread (without waiting, should it be a FIFO), and only
  // the open descriptor goes to a worker.
  const UniqueFd fd(::open(QFile::encodeName(request.path).constData(),
                           O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  struct stat status {};
  if (!fd || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return {};
  // The entry is the file's at its absolute path as written, the name other programs know it by.
  const std::string file =
      QFile::encodeName(QDir::cleanPath(QFileInfo(request.path).absoluteFilePath())).toStdString();
  std::vector<ThumbnailFlavour> flavours;
  if (m_desktopThumbnails && !isInsideThumbnails(*m_desktopThumbnails, file)) {
    flavours = flavoursFor(std::max(request.pixels.width(), request.pixels.height()));
  }
  if (flavours.empty()) {
    ++m_originalsDecoded;
    return pictureFromWorker(*m_workers, fd.get(), request.pixels, m_options.timeLimit,
                             m_options.embeddedPictures, m_workersLost);
  }
  const std::string uri = thumbnailUri(file);
  for (const ThumbnailFlavour flavour : flavours) {
    const UniqueFd entry = openCurrentEntry(*m_desktopThumbnails, flavour, uri,
                                            static_cast<long long>(status.st_mtim.tv_sec));
    if (!entry) continue;
    // An entry is itself a small picture: nothing embedded in it to prefer.
    QImage image = pictureFromWorker(*m_workers, entry.get(), request.pixels,
                                     m_options.timeLimit, false, m_workersLost);
    // An entry no decoder takes is made again from the file, below.
    if (!image.isNull()) return image;
  }
  // Made at the cache's size, kept there, then fitted to the box.
  const ThumbnailFlavour kept = flavours.front();
  const int side = flavourPixels(kept);
  ++m_originalsDecoded;
  QImage image = pictureFromWorker(*m_workers, fd.get(), QSize(side, side), m_options.timeLimit,
                                   m_options.embeddedPictures, m_workersLost);
  if (image.isNull()) return {};
  keepInDesktopCache(*m_desktopThumbnails, kept, fd.get(), status, uri, request.path, image);
  return fitted(std::move(image), request.pixels);
}

void ThumbnailCache::deliver(const Request& request, QImage image) {
  const QString key = keyOf(request.path, request.pixels);
  // Asked for but dropped since (the row was removed): the answer is not wanted.
  if (!m_asked.remove(key)) return;
  ++m_made;
  if (image.isNull()) {
    m_none.insert(key);
  } else {
    // Handed over rather than copied: a large picture is converted once, on the main thread.
    auto* pixmap = new QPixmap(m_options.onCanvas ? onCanvas(image, request.pixels)
                                                  : QPixmap::fromImage(std::move(image)));
    pixmap->setDevicePixelRatio(request.ratio);
    const qsizetype cost = qsizetype{pixmap->width()} * pixmap->height() * 4;
    m_pictures.insert(key, pixmap, cost);
  }
  emit pictureReady(request.path);
}

void ThumbnailCache::retainOnly(const QSet<QString>& paths) {
  std::vector<Request> dropped;
  {
    const std::lock_guard lock(m_mutex);
    const auto kept = std::stable_partition(
        m_pending.begin(), m_pending.end(),
        [&paths](const Request& request) { return paths.contains(request.path); });
    dropped.assign(std::make_move_iterator(kept), std::make_move_iterator(m_pending.end()));
    m_pending.erase(kept, m_pending.end());
  }
  for (const Request& request : dropped) m_asked.remove(keyOf(request.path, request.pixels));
}

void ThumbnailCache::dropPending() {
  std::vector<Request> dropped;
  {
    const std::lock_guard lock(m_mutex);
    dropped.swap(m_pending);
  }
  for (const Request& request : dropped) m_asked.remove(keyOf(request.path, request.pixels));
}

QSize devicePixels(QSize box, qreal devicePixelRatio) {
  return QSize(qRound(box.width() * devicePixelRatio), qRound(box.height() * devicePixelRatio));
}

QPixmap typeIcon(const QString& path, QSize box, qreal devicePixelRatio) {
  const QMimeDatabase database;
  const QMimeType type = database.mimeTypeForFile(path, QMimeDatabase::MatchExtension);
  if (type.name().startsWith(QLatin1String("image/"))) return {};
  QIcon icon = QIcon::fromTheme(type.iconName(), QIcon::fromTheme(type.genericIconName()));
  if (icon.isNull()) icon = QApplication::style()->standardIcon(QStyle::SP_FileIcon);
  return icon.pixmap(box, devicePixelRatio);
}

}  // namespace quillmere
