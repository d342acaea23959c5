#include "thumbnail/raw_previews.h"

#include <libraw/libraw.h>
#include <sys/mman.h>

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>
#include <array>
#include <memory>

#include "thumbnail/qt_pictures.h"
#include "thumbnail/upright_srgb.h"

namespace quillmere::pictures {

namespace {

// The largest embedded preview read out of a raw file.
constexpr qint64 kMaxPreviewBytes = qint64{32} << 20;
// The largest file mapped for LibRaw to look for a raw preview in.
constexpr std::uint64_t kMaxMappedRawBytes = std::uint64_t{1} << 30;

// LibRaw's default handlers write to standard error; a damaged file simply gives no picture.
void ignoreDataError(void*, const char*, const int) {}
void ignoreMemoryError(void*, const char*, const char*) {}

// The file mapped read-only for LibRaw, which reads a source as a buffer without opening a path.
class MappedFile {
 public:
  MappedFile(int fd, std::size_t size)
      : m_size(size), m_at(::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0)) {}
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile() {
    if (m_at != MAP_FAILED) ::munmap(m_at, m_size);
  }
  bool valid() const { return m_at != MAP_FAILED; }
  void* data() const { return m_at; }
  std::size_t size() const { return m_size; }

 private:
  std::size_t m_size;
  void* m_at;
};

// LibRaw with a look at how it is about to read a preview. Some of its readers trust the length a
// file declares over the preview's own dimensions and write past their buffer when the two
// disagree (found by fuzzing, in Debian 12's LibRaw 0.20); only the readers whose buffer is sized
// by the length they read are let through, and only when that length is what the dimensions need.
class PreviewReader : public LibRaw {
 public:
  bool previewIsSafeToRead() const {
    const libraw_thumbnail_t& preview = imgdata.thumbnail;
    const qint64 pixels = qint64{preview.twidth} * preview.theight;
    if (thumb_load_raw != nullptr) return false;
    // Marker bytes are written into the first two; anything this short is no picture anyway.
    if (write_thumb == &PreviewReader::jpeg_thumb) return preview.tlength >= 64;
    // 8-bit RGB rows.
    if (write_thumb == &PreviewReader::ppm_thumb)
      return pixels > 0 && preview.tlength == pixels * 3;
    // Planes read as the declared length times the colours, into planes of the dimensions.
    if (write_thumb == &PreviewReader::layer_thumb) return pixels > 0 && preview.tlength == pixels;
    return false;
  }
};

// LibRaw's flip (bit 0 mirrors, bit 1 flips, bit 2 swaps rows and columns, as dcraw numbers them:
// 6 for a camera turned right) as the orientation TIFF and EXIF number.
int orientationOfFlip(int flip) {
  constexpr std::array<int, 8> kOrientations{1, 2, 4, 3, 5, 8, 6, 7};
  return flip >= 0 && flip < 8 ? kOrientations[static_cast<std::size_t>(flip)] : 1;
}

}  // namespace

QImage readRawPreview(const void* data, std::size_t size, QSize box, const Deadline& deadline) {
  // LibRaw's state is large (several hundred KiB): on the heap, released when this returns.
  auto raw = std::make_unique<PreviewReader>();
  raw->set_dataerror_handler(ignoreDataError, nullptr);
  raw->set_memerror_handler(ignoreMemoryError, nullptr);
  // LibRaw only reads the buffer, though its signature does not say so.
  if (raw->open_buffer(const_cast<void*>(data), size) != LIBRAW_SUCCESS || deadline.passed()) {
    return {};
  }
  const libraw_thumbnail_t& preview = raw->imgdata.thumbnail;
  if (preview.tlength == 0 || qint64{preview.tlength} > kMaxPreviewBytes) return {};
  if (!raw->previewIsSafeToRead()) return {};
  if (raw->unpack_thumb() != LIBRAW_SUCCESS || deadline.passed()) return {};
  if (preview.thumb == nullptr) return {};
  const int orientation = orientationOfFlip(raw->imgdata.sizes.flip);
  switch (preview.tformat) {
    case LIBRAW_THUMBNAIL_JPEG: {
      const QByteArray bytes =
          QByteArray::fromRawData(preview.thumb, static_cast<qsizetype>(preview.tlength));
      QBuffer buffer;
      buffer.setData(bytes);
      if (!buffer.open(QIODevice::ReadOnly)) return {};
      QImageReader reader(&buffer, "jpeg");
      return readReduced(reader, box, deadline, orientation);
    }
    case LIBRAW_THUMBNAIL_BITMAP: {
      // 8-bit RGB, row after row.
      const qint64 width = preview.twidth;
      const qint64 height = preview.theight;
      if (preview.tcolors != 3 || width <= 0 || height <= 0 ||
          width * height * 3 > qint64{preview.tlength}) {
        return {};
      }
      const QImage bitmap(reinterpret_cast<const uchar*>(preview.thumb), static_cast<int>(width),
                          static_cast<int>(height), static_cast<qsizetype>(width * 3),
                          QImage::Format_RGB888);
      // finish() copies, so nothing points into LibRaw's buffer once it is released.
      return finish(upright(bitmap, orientation), box);
    }
    default:
      return {};
  }
}

QImage readRawPreviewOfFile(int fd, std::uint64_t size, QSize box, const Deadline& deadline) {
  if (size > kMaxMappedRawBytes) return {};
  const MappedFile mapped(fd, static_cast<std::size_t>(size));
  if (!mapped.valid()) return {};
  return readRawPreview(mapped.data(), mapped.size(), box, deadline);
}

}  // namespace quillmere::pictures
