#include "thumbnail/thumbnail.h"

#include <fcntl.h>
#include <libraw/libraw.h>
#include <sys/stat.h>
#include <tiffio.h>

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QImageReader>
#include <QString>
#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

namespace quillmere {

namespace {

using Clock = std::chrono::steady_clock;

// The most one full-size decode may hold (formats without reduced decoding, such as PNG and TIFF);
// with one decode per core, the pictures' memory stays bounded whatever the files claim.
constexpr qint64 kMaxFullDecodeBytes = qint64{48} << 20;
// The largest embedded preview read out of a raw file.
constexpr qint64 kMaxPreviewBytes = qint64{32} << 20;
// A JPEG decoded in several scans (progressive, or sequential with one scan per component) keeps
// every DCT coefficient of the whole image until its last scan, 2 bytes per sample, however much
// it is reduced while decoding; this is the most those may take.
constexpr qint64 kMaxCoefficientBytes = qint64{256} << 20;
// Qt's widest pixel format, 16-bit RGBA, for readers that do not say what they will give.
constexpr qint64 kMaxBytesPerPixel = 8;

class Deadline {
 public:
  explicit Deadline(std::chrono::milliseconds limit) : m_end(Clock::now() + limit) {}
  bool passed() const { return Clock::now() >= m_end; }

 private:
  Clock::time_point m_end;
};

// LibRaw's default handlers write to standard error; a damaged file simply gives no picture.
void ignoreDataError(void*, const char*, const int) {}
void ignoreMemoryError(void*, const char*, const char*) {}

// Formats Qt reads well and no raw format starts like: they skip LibRaw.
bool isOrdinaryImage(std::string_view head) {
  using namespace std::string_view_literals;
  constexpr std::array kSignatures{"\xFF\xD8\xFF"sv, "\x89PNG"sv, "GIF8"sv,
                                   "BM"sv,           "RIFF"sv,    "\0\0\1\0"sv};
  return std::any_of(kSignatures.begin(), kSignatures.end(), [head](std::string_view signature) {
    return head.substr(0, signature.size()) == signature;
  });
}

QSize fitted(QSize size, QSize box) {
  if (size.width() <= box.width() && size.height() <= box.height()) return size;
  return size.scaled(box, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
}

// The picture at its final size, in a format the table draws without converting again.
QImage finish(const QImage& image, QSize box) {
  if (image.isNull()) return {};
  QImage small =
      image.size() == fitted(image.size(), box)
          ? image
          : image.scaled(fitted(image.size(), box), Qt::KeepAspectRatio, Qt::SmoothTransformation);
  return small.convertToFormat(small.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied
                                                       : QImage::Format_RGB32);
}

QImage readReduced(QImageReader& reader, QSize box, const Deadline& deadline) {
  reader.setAutoTransform(true);
  const QSize size = reader.size();
  if (!size.isValid() || size.isEmpty()) return {};
  if (reader.supportsOption(QImageIOHandler::ScaledSize)) {
    // libjpeg scales while decoding (by 1/2, 1/4 or 1/8): the full image is never held.
    reader.setScaledSize(fitted(size, box));
  } else {
    const int depth = QImage::toPixelFormat(reader.imageFormat()).bitsPerPixel();
    const qint64 bytesPerPixel = depth > 0 ? (depth + 7) / 8 : kMaxBytesPerPixel;
    if (qint64{size.width()} * size.height() * bytesPerPixel > kMaxFullDecodeBytes) return {};
  }
  if (deadline.passed()) return {};
  QImage image;
  if (!reader.read(&image) || deadline.passed()) return {};
  return finish(image, box);
}

// The coefficient memory a JPEG needs when libjpeg must buffer the whole image (several scans),
// from its frame and first scan headers; 0 when it decodes in one pass, or is no JPEG at all.
// Reads only what `head` holds of the file's start.
qint64 multiScanJpegCoefficientBytes(const QByteArray& head) {
  const auto byte = [&](qsizetype at) { return static_cast<unsigned char>(head[at]); };
  if (head.size() < 4 || byte(0) != 0xFF || byte(1) != 0xD8) return 0;
  qint64 samples = 0;  // per frame, all components, at their own sampling
  int frameComponents = 0;
  bool progressive = false;
  for (qsizetype at = 2; at + 4 <= head.size();) {
    if (byte(at) != 0xFF) return 0;
    const int marker = byte(at + 1);
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    const int length = byte(at + 2) << 8 | byte(at + 3);
    if (length < 2) return 0;
    const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
                       marker != 0xCC;
    if (frame && at + 10 <= head.size()) {
      progressive = marker == 0xC2 || marker == 0xC6 || marker == 0xCA || marker == 0xCE;
      const qint64 height = byte(at + 5) << 8 | byte(at + 6);
      const qint64 width = byte(at + 7) << 8 | byte(at + 8);
      frameComponents = byte(at + 9);
      int maxH = 1, maxV = 1;
      for (int c = 0; c < frameComponents && at + 12 + 3 * c <= head.size(); ++c) {
        const int sampling = byte(at + 11 + 3 * c);
        maxH = std::max(maxH, sampling >> 4);
        maxV = std::max(maxV, sampling & 0x0F);
      }
      for (int c = 0; c < frameComponents && at + 12 + 3 * c <= head.size(); ++c) {
        const int sampling = byte(at + 11 + 3 * c);
        const qint64 h = std::max(1, sampling >> 4), v = std::max(1, sampling & 0x0F);
        samples += (width * h / maxH + 8) * (height * v / maxV + 8);
      }
    }
    if (marker == 0xDA) {  // the first scan: all components at once, or one pass of several
      const bool severalScans =
          progressive || (at + 4 < head.size() && byte(at + 4) < frameComponents);
      return severalScans ? samples * 2 : 0;
    }
    at += 2 + length;
  }
  return progressive ? samples * 2 : 0;
}

QImage readWithQt(QIODevice& device, QSize box, const Deadline& deadline) {
  // A small file can declare a huge picture; libjpeg would hold its coefficients whole.
  if (multiScanJpegCoefficientBytes(device.peek(64 << 10)) > kMaxCoefficientBytes) return {};
  QImageReader reader(&device);
  reader.setDecideFormatFromContent(true);
  return readReduced(reader, box, deadline);
}

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

// The preview a raw file carries, through LibRaw: found by open_* (which only parses the file's
// structure), read by unpack_thumb. `open` is the LibRaw call that opens the source.
template <typename Open>
QImage readRawPreview(Open open, QSize box, const Deadline& deadline) {
  // LibRaw's state is large (several hundred KiB): on the heap, released when this returns.
  auto raw = std::make_unique<PreviewReader>();
  raw->set_dataerror_handler(ignoreDataError, nullptr);
  raw->set_memerror_handler(ignoreMemoryError, nullptr);
  if (open(*raw) != LIBRAW_SUCCESS || deadline.passed()) return {};
  const libraw_thumbnail_t& preview = raw->imgdata.thumbnail;
  if (preview.tlength == 0 || qint64{preview.tlength} > kMaxPreviewBytes) return {};
  if (!raw->previewIsSafeToRead()) return {};
  if (raw->unpack_thumb() != LIBRAW_SUCCESS || deadline.passed()) return {};
  if (preview.thumb == nullptr) return {};
  switch (preview.tformat) {
    case LIBRAW_THUMBNAIL_JPEG: {
      const QByteArray bytes =
          QByteArray::fromRawData(preview.thumb, static_cast<qsizetype>(preview.tlength));
      QBuffer buffer;
      buffer.setData(bytes);
      if (!buffer.open(QIODevice::ReadOnly)) return {};
      QImageReader reader(&buffer, "jpeg");
      return readReduced(reader, box, deadline);
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
      return finish(bitmap, box);
    }
    default:
      return {};
  }
}

bool isTiff(std::string_view head) {
  using namespace std::string_view_literals;
  return head.starts_with("II*\0"sv) || head.starts_with("MM\0*"sv) ||
         head.starts_with("II+\0"sv) || head.starts_with("MM\0+"sv);
}

// TIFF through libtiff directly rather than Qt's reader, which leaves libtiff's process-wide
// handlers to print every warning and error to standard error. Here each file has its own silent
// handlers and an allocation cap.
int ignoreTiffMessage(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct TiffOptionsDeleter {
  void operator()(TIFFOpenOptions* options) const noexcept { TIFFOpenOptionsFree(options); }
};
struct TiffCloser {
  void operator()(TIFF* tiff) const noexcept { TIFFClose(tiff); }
};
using TiffOptions = std::unique_ptr<TIFFOpenOptions, TiffOptionsDeleter>;
using TiffFile = std::unique_ptr<TIFF, TiffCloser>;

TiffOptions silentTiffOptions() {
  TiffOptions options(TIFFOpenOptionsAlloc());
  if (!options) throw std::bad_alloc();
  TIFFOpenOptionsSetErrorHandlerExtR(options.get(), ignoreTiffMessage, nullptr);
  TIFFOpenOptionsSetWarningHandlerExtR(options.get(), ignoreTiffMessage, nullptr);
  TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), kMaxFullDecodeBytes);
  return options;
}

// A TIFF held in memory, read through libtiff's client procedures.
struct MemoryTiff {
  std::span<const std::byte> bytes;
  std::uint64_t position = 0;
};

tmsize_t readMemory(thandle_t handle, void* buffer, tmsize_t size) {
  auto& file = *static_cast<MemoryTiff*>(handle);
  if (size <= 0 || file.position >= file.bytes.size()) return 0;
  const std::uint64_t count =
      std::min<std::uint64_t>(static_cast<std::uint64_t>(size), file.bytes.size() - file.position);
  std::memcpy(buffer, file.bytes.data() + file.position, count);
  file.position += count;
  return static_cast<tmsize_t>(count);
}
tmsize_t writeMemory(thandle_t, void*, tmsize_t) { return -1; }
toff_t seekMemory(thandle_t handle, toff_t offset, int whence) {
  auto& file = *static_cast<MemoryTiff*>(handle);
  std::uint64_t base = 0;
  if (whence == SEEK_CUR) base = file.position;
  if (whence == SEEK_END) base = file.bytes.size();
  // Seeking past the end is allowed; reading there gives nothing.
  file.position = base + offset;
  return file.position;
}
int closeMemory(thandle_t) { return 0; }
toff_t sizeOfMemory(thandle_t handle) { return static_cast<MemoryTiff*>(handle)->bytes.size(); }
int mapMemory(thandle_t, void**, toff_t*) { return 0; }
void unmapMemory(thandle_t, void*, toff_t) {}

// The first image of the file as 8-bit RGBA, through libtiff's own conversion (any bit depth,
// photometric interpretation and compression it knows), refused past the full-decode cap.
QImage readTiff(TIFF* tiff, QSize box, const Deadline& deadline) {
  if (tiff == nullptr) return {};
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  if (TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width) != 1 ||
      TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height) != 1 || width == 0 || height == 0 ||
      width > 65535 || height > 65535) {
    return {};
  }
  const qint64 bytes = qint64{width} * height * 4;
  if (bytes > kMaxFullDecodeBytes) return {};
  std::array<char, 1024> reason{};
  if (TIFFRGBAImageOK(tiff, reason.data()) != 1 || deadline.passed()) return {};
  std::vector<std::uint32_t> raster(std::size_t{width} * height);
  if (TIFFReadRGBAImageOriented(tiff, width, height, raster.data(), ORIENTATION_TOPLEFT, 0) != 1 ||
      deadline.passed()) {
    return {};
  }
  // libtiff packs R in the lowest byte: RGBA in memory order on this little-endian machine.
  static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN);
  const QImage image(reinterpret_cast<const uchar*>(raster.data()), static_cast<int>(width),
                     static_cast<int>(height), static_cast<qsizetype>(width) * 4,
                     QImage::Format_RGBA8888);
  // finish() copies before the raster goes.
  return finish(image, box);
}

QImage readTiffFile(const std::string& path, QSize box, const Deadline& deadline) {
  const TiffOptions options = silentTiffOptions();
  // "m": read, never map, so a file truncated meanwhile cannot fault the process.
  const TiffFile tiff(TIFFOpenExt(path.c_str(), "rm", options.get()));
  return readTiff(tiff.get(), box, deadline);
}

QImage readTiffBytes(std::span<const std::byte> bytes, QSize box, const Deadline& deadline) {
  const TiffOptions options = silentTiffOptions();
  MemoryTiff file{bytes};
  const TiffFile tiff(TIFFClientOpenExt("picture", "rm", &file, readMemory, writeMemory, seekMemory,
                                        closeMemory, sizeOfMemory, mapMemory, unmapMemory,
                                        options.get()));
  return readTiff(tiff.get(), box, deadline);
}

}  // namespace

QImage makeThumbnail(const std::string& path, QSize box, std::chrono::milliseconds timeLimit) {
  try {
    const Deadline deadline(timeLimit);
    if (box.isEmpty()) return {};
    // The path names the file once: it is opened here (without waiting, should it be a FIFO),
    // checked to be a regular file (a FIFO or a device would block the readers or never end), and
    // everything after reads that open file, LibRaw and libtiff through its /proc/self/fd entry,
    // which opens the same file again however the path has changed meanwhile.
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat status {};
    if (!fd || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return {};
    const std::string opened = "/proc/self/fd/" + std::to_string(fd.get());
    QFile file;
    if (!file.open(fd.get(), QIODevice::ReadOnly, QFileDevice::DontCloseHandle)) return {};
    const QByteArray head = file.peek(4);
    const std::string_view start(head.constData(), static_cast<std::size_t>(head.size()));
    if (!isOrdinaryImage(start)) {
      QImage preview = readRawPreview(
          [&opened](LibRaw& raw) { return raw.open_file(opened.c_str()); }, box, deadline);
      if (!preview.isNull() || deadline.passed()) return preview;
      if (isTiff(start)) return readTiffFile(opened, box, deadline);
    }
    return readWithQt(file, box, deadline);
  } catch (...) {
    return {};
  }
}

QImage makeThumbnail(std::span<const std::byte> bytes, QSize box,
                     std::chrono::milliseconds timeLimit) {
  try {
    const Deadline deadline(timeLimit);
    if (box.isEmpty() || bytes.empty()) return {};
    const auto* data = reinterpret_cast<const char*>(bytes.data());
    const std::string_view head(data, std::min<std::size_t>(bytes.size(), 4));
    if (!isOrdinaryImage(head)) {
      QImage preview = readRawPreview(
          [&bytes](LibRaw& raw) {
            // LibRaw only reads the buffer, though its signature does not say so.
            return raw.open_buffer(const_cast<std::byte*>(bytes.data()), bytes.size());
          },
          box, deadline);
      if (!preview.isNull() || deadline.passed()) return preview;
      if (isTiff(head)) return readTiffBytes(bytes, box, deadline);
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
