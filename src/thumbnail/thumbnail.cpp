#include "thumbnail/thumbnail.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QImageReader>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/unique_fd.h"
#include "thumbnail/decode_limits.h"
#include "thumbnail/exif_thumbnail.h"
#include "thumbnail/qt_pictures.h"
#include "thumbnail/raw_previews.h"
#include "thumbnail/tiff_pictures.h"
#include "thumbnail/upright_srgb.h"

namespace quillmere {

namespace {

// Positioned reads through the descriptor alone, which leave the file's offset where the other
// readers expect it.
bool readFully(int fd, std::uint64_t offset, void* into, std::size_t count) {
  auto* at = static_cast<std::byte*>(into);
  while (count > 0) {
    const ssize_t got = ::pread(fd, at, count, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    at += got;
    offset += static_cast<std::uint64_t>(got);
    count -= static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace

using pictures::Deadline;
using pictures::ReadAt;
using pictures::readExifThumbnail;
using pictures::isOrdinaryImage;
using pictures::isTiff;
using pictures::readRawPreview;
using pictures::readRawPreviewOfFile;
using pictures::readTiffBytes;
using pictures::readTiffDescriptor;
using pictures::readWithQt;

void loadThumbnailDecoders() {
  // Asking each image plugin whether it can read nothing makes Qt load it, and the libraries it
  // links, now; once the worker is sandboxed it could not open them.
  for (const QByteArray& format : QImageReader::supportedImageFormats()) {
    QBuffer nothing;
    nothing.open(QIODevice::ReadOnly);
    QImageReader reader(&nothing, format);
    reader.canRead();
  }
  // The colour spaces pictures are converted between, built once.
  pictures::loadColourConversions();
}

QImage makeThumbnailOfFile(int fd, QSize box, std::chrono::milliseconds timeLimit,
                           PictureSource source) {
  try {
    const Deadline deadline(timeLimit);
    if (box.isEmpty()) return {};
    // A FIFO or a device would block the readers or never end.
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size <= 0) return {};
    const auto size = static_cast<std::uint64_t>(status.st_size);
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle)) return {};
    const QByteArray head = file.peek(4);
    const std::string_view start(head.constData(), static_cast<std::size_t>(head.size()));
    if (!isOrdinaryImage(start)) {
      QImage preview = readRawPreviewOfFile(fd, size, box, deadline);
      if (!preview.isNull() || deadline.passed()) return preview;
      if (isTiff(start)) return readTiffDescriptor(fd, size, box, deadline, source);
    }
    if (source == PictureSource::embeddedWhereLargeEnough) {
      const ReadAt readAt = [fd](std::uint64_t offset, void* into, std::size_t count) {
        return readFully(fd, offset, into, count);
      };
      QImage thumbnail = readExifThumbnail(readAt, box, deadline);
      if (!thumbnail.isNull() || deadline.passed()) return thumbnail;
    }
    return readWithQt(file, box, deadline);
  } catch (...) {
    return {};
  }
}

QImage makeThumbnail(const std::string& path, QSize box, std::chrono::milliseconds timeLimit,
                     PictureSource source) {
  // The path names the file once: opened here without waiting, should it be a FIFO, and read
  // through that open file only.
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) return {};
  return makeThumbnailOfFile(fd.get(), box, timeLimit, source);
}

QImage makeThumbnail(std::span<const std::byte> bytes, QSize box,
                     std::chrono::milliseconds timeLimit, PictureSource source) {
  try {
    const Deadline deadline(timeLimit);
    if (box.isEmpty() || bytes.empty()) return {};
    const auto* data = reinterpret_cast<const char*>(bytes.data());
    const std::string_view head(data, std::min<std::size_t>(bytes.size(), 4));
    if (!isOrdinaryImage(head)) {
      QImage preview = readRawPreview(bytes.data(), bytes.size(), box, deadline);
      if (!preview.isNull() || deadline.passed()) return preview;
      if (isTiff(head)) return readTiffBytes(bytes, box, deadline, source);
    }
    if (source == PictureSource::embeddedWhereLargeEnough) {
      const ReadAt readAt = [bytes](std::uint64_t offset, void* into, std::size_t count) {
        if (offset > bytes.size() || count > bytes.size() - offset) return false;
        std::memcpy(into, bytes.data() + offset, count);
        return true;
      };
      QImage thumbnail = readExifThumbnail(readAt, box, deadline);
      if (!thumbnail.isNull() || deadline.passed()) return thumbnail;
    }
    QBuffer buffer;
    buffer.setData(QByteArray::fromRawData(data, static_cast<qsizetype>(bytes.size())));
    if (!buffer.open(QIODevice::ReadOnly)) return {};
    return readWithQt(buffer, box, deadline);
  } catch (...) {
    return {};
  }
}

}  // namespace quillmere

