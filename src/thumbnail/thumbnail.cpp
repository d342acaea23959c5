#include "thumbnail/thumbnail.h"

#include <fcntl.h>
#include <lcms2.h>
#include <libraw/libraw.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <QBuffer>
#include <QByteArray>
#include <QColorSpace>
#include <QFile>
#include <QImageReader>
#include <QString>
#include <QTransform>
#include <algorithm>
#include <array>
#include <cerrno>
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
// The most libtiff may allocate at once for one file: a strip of a large render decoded whole
// (some writers put the whole image in one strip) fits, a claim of gigabytes does not.
constexpr qint64 kMaxTiffAllocation = qint64{384} << 20;
// The most rows of a TIFF converted at once.
constexpr qint64 kMaxBandBytes = qint64{32} << 20;
// The widest and tallest render the bridge admits.
constexpr std::uint32_t kMaxSide = 100000;
// The largest file mapped for LibRaw to look for a raw preview in.
constexpr std::uint64_t kMaxMappedRawBytes = std::uint64_t{1} << 30;
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

// The box a picture stored on its side must fit before it is turned upright.
QSize storedBox(QSize box, int orientation) {
  return orientation >= 5 && orientation <= 8 ? box.transposed() : box;
}

// The picture turned upright from how it is stored, for the orientations TIFF and EXIF number 1 to
// 8 (where the stored first row and column belong on screen).
QImage upright(const QImage& image, int orientation) {
  const auto turned = [&image](qreal degrees) {
    // Multiples of 90 degrees are moved pixel for pixel, never resampled.
    return image.transformed(QTransform().rotate(degrees));
  };
  switch (orientation) {
    case 2:
      return image.mirrored(true, false);
    case 3:
      return image.mirrored(true, true);
    case 4:
      return image.mirrored(false, true);
    case 5:
      return turned(90).mirrored(true, false);
    case 6:
      return turned(90);
    case 7:
      return turned(90).mirrored(false, true);
    case 8:
      return turned(270);
    default:
      return image;
  }
}

// sRGB, the screen's colour space as far as the window knows it.
QImage inSrgb(QImage image) {
  const QColorSpace space = image.colorSpace();
  if (!space.isValid() || space == QColorSpace(QColorSpace::SRgb)) return image;
  image.convertToColorSpace(QColorSpace::SRgb);
  return image;
}

// The picture at its final size, in sRGB, in a format the table draws without converting again.
// `fullSize` is the size of the image `image` was reduced from, when its reduction rounded.
QImage finish(const QImage& decoded, QSize box, QSize fullSize = {}) {
  if (decoded.isNull()) return {};
  const QColorSpace space = decoded.colorSpace();
  // Qt scales indexed and one-bit pictures back into their few colours, dithered: a one-colour
  // PNG of a clear sky came out as a black and white chequer. Their pixels go to 32 bits first.
  const QImage image =
      decoded.depth() >= 24 && decoded.colorCount() == 0
          ? decoded
          : decoded.convertToFormat(decoded.hasAlphaChannel() ? QImage::Format_ARGB32
                                                              : QImage::Format_RGB32);
  const QSize size = fitted(fullSize.isValid() ? fullSize : image.size(), box);
  QImage small = image.size() == size
                     ? image
                     : image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  // Converted after reducing: the same colours for a fraction of the work.
  if (space.isValid()) small.setColorSpace(space);
  small = inSrgb(std::move(small));
  return small.convertToFormat(small.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied
                                                       : QImage::Format_RGB32);
}

// Read reduced where the reader can, upright by the orientation the file records or, for a raw
// preview (whose own bytes rarely say), by `rawOrientation`, the one LibRaw found for the shot.
QImage readReduced(QImageReader& reader, QSize box, const Deadline& deadline,
                   int rawOrientation = 0) {
  const bool ownOrientation = rawOrientation == 0;
  reader.setAutoTransform(ownOrientation);
  const QSize size = reader.size();
  if (!size.isValid() || size.isEmpty()) return {};
  // The reader reduces the picture as stored, before turning it.
  const bool onItsSide =
      ownOrientation ? reader.transformation().testFlag(QImageIOHandler::TransformationRotate90)
                     : storedBox(box, rawOrientation) != box;
  // Qt's readers that scale after decoding (PNG) would scale a picture held as a colour table
  // back into its few colours, dithered; such pictures are small at full size and are reduced by
  // finish() instead.
  const QImage::Format format = reader.imageFormat();
  const bool colourTable = format == QImage::Format_Mono || format == QImage::Format_MonoLSB ||
                           format == QImage::Format_Indexed8;
  if (reader.supportsOption(QImageIOHandler::ScaledSize) && !colourTable) {
    // libjpeg scales while decoding (by 1/2, 1/4 or 1/8): the full image is never held.
    reader.setScaledSize(fitted(size, onItsSide ? box.transposed() : box));
  } else {
    const int depth = QImage::toPixelFormat(format).bitsPerPixel();
    const qint64 bytesPerPixel = depth > 0 ? (depth + 7) / 8 : kMaxBytesPerPixel;
    if (qint64{size.width()} * size.height() * bytesPerPixel > kMaxFullDecodeBytes) return {};
  }
  if (deadline.passed()) return {};
  QImage image;
  if (!reader.read(&image) || deadline.passed()) return {};
  if (!ownOrientation) {
    // A raw preview is shown as sRGB, whatever its bytes carry.
    image.setColorSpace(QColorSpace());
    image = upright(image, rawOrientation);
  }
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
    const bool frame =
        marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
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

// LibRaw's flip (bit 0 mirrors, bit 1 flips, bit 2 swaps rows and columns, as dcraw numbers them:
// 6 for a camera turned right) as the orientation TIFF and EXIF number.
int orientationOfFlip(int flip) {
  constexpr std::array<int, 8> kOrientations{1, 2, 4, 3, 5, 8, 6, 7};
  return flip >= 0 && flip < 8 ? kOrientations[static_cast<std::size_t>(flip)] : 1;
}

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
  TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), kMaxTiffAllocation);
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
tmsize_t writeNothing(thandle_t, void*, tmsize_t) { return -1; }
toff_t seekMemory(thandle_t handle, toff_t offset, int whence) {
  auto& file = *static_cast<MemoryTiff*>(handle);
  std::uint64_t base = 0;
  if (whence == SEEK_CUR) base = file.position;
  if (whence == SEEK_END) base = file.bytes.size();
  // Seeking past the end is allowed; reading there gives nothing.
  file.position = base + offset;
  return file.position;
}
int closeNothing(thandle_t) { return 0; }
toff_t sizeOfMemory(thandle_t handle) { return static_cast<MemoryTiff*>(handle)->bytes.size(); }
int mapNothing(thandle_t, void**, toff_t*) { return 0; }
void unmapNothing(thandle_t, void*, toff_t) {}

// A TIFF read from an open descriptor with positioned reads: nothing opens a path, nothing maps the
// file (a file truncated meanwhile reads short, it cannot fault the process).
struct DescriptorTiff {
  int fd = -1;
  std::uint64_t size = 0;
  std::uint64_t position = 0;
};

tmsize_t readDescriptor(thandle_t handle, void* buffer, tmsize_t size) {
  auto& file = *static_cast<DescriptorTiff*>(handle);
  auto* at = static_cast<std::byte*>(buffer);
  tmsize_t done = 0;
  while (done < size) {
    const ssize_t got = ::pread(file.fd, at + done, static_cast<std::size_t>(size - done),
                                static_cast<off_t>(file.position));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += got;
    file.position += static_cast<std::uint64_t>(got);
  }
  return done;
}
toff_t seekDescriptor(thandle_t handle, toff_t offset, int whence) {
  auto& file = *static_cast<DescriptorTiff*>(handle);
  std::uint64_t base = 0;
  if (whence == SEEK_CUR) base = file.position;
  if (whence == SEEK_END) base = file.size;
  file.position = base + offset;
  return file.position;
}
toff_t sizeOfDescriptor(thandle_t handle) { return static_cast<DescriptorTiff*>(handle)->size; }

struct LittleCmsProfile {
  cmsHPROFILE handle;
  ~LittleCmsProfile() {
    if (handle != nullptr) cmsCloseProfile(handle);
  }
};

// For the ICC profiles Qt cannot apply (lookup tables rather than a matrix and curves), through
// LittleCMS; a profile neither understands leaves the picture as it is, taken for sRGB.
QImage inSrgbByLittleCms(const QImage& image, const QByteArray& icc) {
  const LittleCmsProfile source{
      cmsOpenProfileFromMem(icc.constData(), static_cast<cmsUInt32Number>(icc.size()))};
  if (source.handle == nullptr || cmsGetColorSpace(source.handle) != cmsSigRgbData) return image;
  const LittleCmsProfile srgb{cmsCreate_sRGBProfile()};
  if (srgb.handle == nullptr) return image;
  const cmsHTRANSFORM transform = cmsCreateTransform(
      source.handle, TYPE_RGBA_8, srgb.handle, TYPE_RGBA_8, INTENT_PERCEPTUAL, cmsFLAGS_COPY_ALPHA);
  if (transform == nullptr) return image;
  QImage converted = image.convertToFormat(QImage::Format_RGBA8888);
  for (int y = 0; y < converted.height(); ++y) {
    cmsDoTransform(transform, converted.scanLine(y), converted.scanLine(y),
                   static_cast<cmsUInt32Number>(converted.width()));
  }
  cmsDeleteTransform(transform);
  return converted;
}

// The picture in sRGB by the ICC profile a TIFF carries (tag 34675), if any.
QImage withTiffProfile(TIFF* tiff, QImage image) {
  std::uint32_t length = 0;
  void* data = nullptr;
  if (TIFFGetField(tiff, TIFFTAG_ICCPROFILE, &length, &data) != 1 || data == nullptr ||
      length == 0) {
    return image;
  }
  const QByteArray icc(static_cast<const char*>(data), static_cast<qsizetype>(length));
  const QColorSpace space = QColorSpace::fromIccProfile(icc);
  if (space.isValid()) {
    image.setColorSpace(space);
    return inSrgb(std::move(image));
  }
  return inSrgbByLittleCms(image, icc);
}

struct RgbaImageEnd {
  TIFFRGBAImage* image;
  ~RgbaImageEnd() { TIFFRGBAImageEnd(image); }
};

// The first image of the file through libtiff's own conversion to 8-bit RGBA (any bit depth,
// photometric interpretation and compression it knows), read a band of rows at a time and
// averaged down while it is read: the memory held is the reduced picture's and one band's, never
// the whole image's, so a render of any size the bridge admits gets its picture.
QImage readTiff(TIFF* tiff, QSize box, const Deadline& deadline) {
  if (tiff == nullptr) return {};
  std::array<char, 1024> reason{};
  if (TIFFRGBAImageOK(tiff, reason.data()) != 1) return {};
  TIFFRGBAImage rgba{};
  if (TIFFRGBAImageBegin(&rgba, tiff, 0, reason.data()) != 1) return {};
  const RgbaImageEnd end{&rgba};
  const std::uint32_t width = rgba.width;
  const std::uint32_t height = rgba.height;
  if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide) return {};
  // Rows as they are stored, first row on top, whatever the file's orientation: the picture is
  // turned upright once it is small.
  const int orientation = rgba.orientation >= 1 && rgba.orientation <= 8 ? rgba.orientation : 1;
  rgba.req_orientation = rgba.orientation;

  // Each pixel of the reduced picture is the average of a square of `step` pixels a side, the
  // largest that keeps it at least the box's size; the smooth scaling after does the rest.
  const QSize target = storedBox(box, orientation);
  const std::uint32_t step =
      std::max<std::uint32_t>(1, std::min(width / static_cast<std::uint32_t>(target.width()),
                                          height / static_cast<std::uint32_t>(target.height())));
  const std::uint32_t reducedWidth = (width + step - 1) / step;
  const std::uint32_t reducedHeight = (height + step - 1) / step;
  if (qint64{reducedWidth} * reducedHeight * 4 > kMaxFullDecodeBytes) return {};
  // libtiff packs R in the lowest byte: RGBA in memory order on this little-endian machine, alpha
  // premultiplied (libtiff multiplies unassociated alpha in), 255 where the file has none.
  static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN);
  QImage reduced(static_cast<int>(reducedWidth), static_cast<int>(reducedHeight),
                 rgba.alpha != 0 ? QImage::Format_RGBA8888_Premultiplied : QImage::Format_RGBX8888);
  if (reduced.isNull()) return {};

  // A band is what libtiff decodes in one piece (a strip, a row of tiles), within a cap.
  std::uint32_t piece = 0;
  if (TIFFIsTiled(tiff) != 0) {
    TIFFGetField(tiff, TIFFTAG_TILELENGTH, &piece);
  } else {
    TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &piece);
  }
  const auto capRows =
      static_cast<std::uint32_t>(std::max<qint64>(1, kMaxBandBytes / (qint64{width} * 4)));
  const std::uint32_t band = std::clamp<std::uint32_t>(piece, 1, std::min(capRows, height));
  std::vector<std::uint32_t> raster(std::size_t{band} * width);
  std::vector<std::uint64_t> sums(std::size_t{reducedWidth} * 4);

  for (std::uint32_t row = 0; row < height; row += band) {
    if (deadline.passed()) return {};
    const std::uint32_t rows = std::min(band, height - row);
    rgba.row_offset = static_cast<int>(row);
    rgba.col_offset = 0;
    if (TIFFRGBAImageGet(&rgba, raster.data(), width, rows) != 1) return {};
    for (std::uint32_t i = 0; i < rows; ++i) {
      const std::uint32_t* line = raster.data() + std::size_t{i} * width;
      std::uint64_t* sum = sums.data();
      for (std::uint32_t x = 0, inBlock = 0; x < width; ++x) {
        const std::uint32_t pixel = line[x];
        sum[0] += pixel & 0xFF;
        sum[1] += (pixel >> 8) & 0xFF;
        sum[2] += (pixel >> 16) & 0xFF;
        sum[3] += pixel >> 24;
        if (++inBlock == step) {
          inBlock = 0;
          sum += 4;
        }
      }
      const std::uint32_t y = row + i;
      if ((y + 1) % step != 0 && y + 1 != height) continue;
      const std::uint64_t blockRows = y % step + 1;
      uchar* out = reduced.scanLine(static_cast<int>(y / step));
      for (std::uint32_t column = 0; column < reducedWidth; ++column) {
        const std::uint64_t count = blockRows * std::min(step, width - column * step);
        for (int channel = 0; channel < 4; ++channel) {
          std::uint64_t& total = sums[std::size_t{column} * 4 + static_cast<std::size_t>(channel)];
          out[column * 4 + static_cast<std::uint32_t>(channel)] =
              static_cast<uchar>((total + count / 2) / count);
          total = 0;
        }
      }
    }
  }
  const QSize fullSize(static_cast<int>(width), static_cast<int>(height));
  return finish(upright(withTiffProfile(tiff, std::move(reduced)), orientation), box,
                storedBox(fullSize, orientation));
}

QImage readTiffDescriptor(int fd, std::uint64_t size, QSize box, const Deadline& deadline) {
  const TiffOptions options = silentTiffOptions();
  DescriptorTiff file{fd, size};
  const TiffFile tiff(TIFFClientOpenExt("picture", "rm", &file, readDescriptor, writeNothing,
                                        seekDescriptor, closeNothing, sizeOfDescriptor, mapNothing,
                                        unmapNothing, options.get()));
  return readTiff(tiff.get(), box, deadline);
}

QImage readTiffBytes(std::span<const std::byte> bytes, QSize box, const Deadline& deadline) {
  const TiffOptions options = silentTiffOptions();
  MemoryTiff file{bytes};
  const TiffFile tiff(TIFFClientOpenExt("picture", "rm", &file, readMemory, writeNothing,
                                        seekMemory, closeNothing, sizeOfMemory, mapNothing,
                                        unmapNothing, options.get()));
  return readTiff(tiff.get(), box, deadline);
}

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

}  // namespace

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
  const QColorSpace srgb(QColorSpace::SRgb);
  const LittleCmsProfile littleCmsSrgb{cmsCreate_sRGBProfile()};
}

QImage makeThumbnailOfFile(int fd, QSize box, std::chrono::milliseconds timeLimit) {
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
      if (size <= kMaxMappedRawBytes) {
        const MappedFile mapped(fd, static_cast<std::size_t>(size));
        if (mapped.valid()) {
          QImage preview = readRawPreview(
              [&mapped](LibRaw& raw) { return raw.open_buffer(mapped.data(), mapped.size()); }, box,
              deadline);
          if (!preview.isNull() || deadline.passed()) return preview;
        }
      }
      if (isTiff(start)) return readTiffDescriptor(fd, size, box, deadline);
    }
    return readWithQt(file, box, deadline);
  } catch (...) {
    return {};
  }
}

QImage makeThumbnail(const std::string& path, QSize box, std::chrono::milliseconds timeLimit) {
  // The path names the file once: opened here without waiting, should it be a FIFO, and read
  // through that open file only.
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) return {};
  return makeThumbnailOfFile(fd.get(), box, timeLimit);
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
