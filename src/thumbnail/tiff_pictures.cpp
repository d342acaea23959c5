#include "thumbnail/tiff_pictures.h"

#include <tiffio.h>
#include <unistd.h>

#include <QByteArray>
#include <QColorSpace>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "thumbnail/upright_srgb.h"

namespace quillmere::pictures {

namespace {

// The most libtiff may allocate at once for one file: a strip of a large render decoded whole
// (some writers put the whole image in one strip) fits, a claim of gigabytes does not.
constexpr qint64 kMaxTiffAllocation = qint64{384} << 20;
// The most rows of a TIFF converted at once.
constexpr qint64 kMaxBandBytes = qint64{32} << 20;
// The widest and tallest render the bridge admits.
constexpr std::uint32_t kMaxSide = 100000;

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

// The ICC profile the current image of a TIFF carries (tag 34675); empty when it has none.
QByteArray tiffProfile(TIFF* tiff) {
  std::uint32_t length = 0;
  void* data = nullptr;
  if (TIFFGetField(tiff, TIFFTAG_ICCPROFILE, &length, &data) != 1 || data == nullptr ||
      length == 0) {
    return {};
  }
  return QByteArray(static_cast<const char*>(data), static_cast<qsizetype>(length));
}

// The picture in sRGB by an ICC profile, if there is one.
QImage withProfile(const QByteArray& icc, QImage image) {
  if (icc.isEmpty()) return image;
  const QColorSpace space = QColorSpace::fromIccProfile(icc);
  if (space.isValid()) {
    image.setColorSpace(space);
    return inSrgb(std::move(image));
  }
  return inSrgbByLittleCms(image, icc);
}

// What a reduced-resolution image takes from the full image it stands for, where its own tags do
// not say otherwise: writers give the reduced images of a file neither an orientation nor a
// profile of their own, as they are the same picture stored smaller.
struct FullImage {
  QSize size;  // as stored
  int orientation = 1;
  QByteArray icc;
};

struct RgbaImageEnd {
  TIFFRGBAImage* image;
  ~RgbaImageEnd() { TIFFRGBAImageEnd(image); }
};

// The first image of the file through libtiff's own conversion to 8-bit RGBA (any bit depth,
// photometric interpretation and compression it knows), read a band of rows at a time and
// averaged down while it is read: the memory held is the reduced picture's and one band's, never
// the whole image's, so a render of any size the bridge admits gets its picture.
QImage readTiff(TIFF* tiff, QSize box, const Deadline& deadline,
                const FullImage* full = nullptr) {
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
  std::uint16_t own = 0;
  const bool ownOrientation = full == nullptr || TIFFGetField(tiff, TIFFTAG_ORIENTATION, &own) == 1;
  const int orientation = !ownOrientation ? full->orientation
                          : rgba.orientation >= 1 && rgba.orientation <= 8 ? rgba.orientation
                                                                          : 1;
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
  // A reduced image gives the picture the full image would, in size as in colour.
  const QSize fullSize =
      full != nullptr ? full->size : QSize(static_cast<int>(width), static_cast<int>(height));
  QByteArray icc = tiffProfile(tiff);
  if (icc.isEmpty() && full != nullptr) icc = full->icc;
  return finish(upright(withProfile(icc, std::move(reduced)), orientation), box,
                storedBox(fullSize, orientation));
}

// Where a reduced-resolution image of a TIFF is found: a SubIFD of the first image, by its offset,
// or a later image of the file's chain, by its number.
struct ReducedImage {
  bool subIfd = false;
  toff_t offset = 0;
  tdir_t number = 0;
  QSize size;
};

// Few files hold more than a handful of reduced images; a chain or list longer than this is not
// walked, so a damaged file cannot keep the reader going.
constexpr int kMaxReducedCandidates = 16;

// Whether the current image is a reduced-resolution one (NewSubfileType bit 0), and its size.
std::optional<QSize> reducedSize(TIFF* tiff) {
  std::uint32_t kind = 0;
  if (TIFFGetField(tiff, TIFFTAG_SUBFILETYPE, &kind) != 1 || (kind & FILETYPE_REDUCEDIMAGE) == 0 ||
      (kind & FILETYPE_MASK) != 0) {
    return std::nullopt;
  }
  std::uint32_t width = 0, height = 0;
  if (TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width) != 1 ||
      TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height) != 1 || width == 0 || height == 0 ||
      width > kMaxSide || height > kMaxSide) {
    return std::nullopt;
  }
  return QSize(static_cast<int>(width), static_cast<int>(height));
}

bool select(TIFF* tiff, const ReducedImage& image) {
  return image.subIfd ? TIFFSetSubDirectory(tiff, image.offset) == 1
                      : TIFFSetDirectory(tiff, image.number) == 1;
}

// The picture from the smallest reduced-resolution image at least as large as the full image
// fitted into the box and of its aspect; null when there is none (or it cannot be read), with the
// file's first image current again.
QImage readReducedTiff(TIFF* tiff, QSize box, const Deadline& deadline) {
  std::uint32_t width = 0, height = 0;
  if (TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width) != 1 ||
      TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height) != 1 || width == 0 || height == 0 ||
      width > kMaxSide || height > kMaxSide) {
    return {};
  }
  std::uint16_t orientation = 1;
  TIFFGetFieldDefaulted(tiff, TIFFTAG_ORIENTATION, &orientation);
  const FullImage full{QSize(static_cast<int>(width), static_cast<int>(height)),
                       orientation >= 1 && orientation <= 8 ? orientation : 1, tiffProfile(tiff)};
  const QSize wanted = fitted(full.size, storedBox(box, full.orientation));
  if (wanted == full.size) return {};

  std::vector<ReducedImage> found;
  std::uint16_t subIfdCount = 0;
  toff_t* subIfds = nullptr;
  std::vector<toff_t> offsets;
  if (TIFFGetField(tiff, TIFFTAG_SUBIFD, &subIfdCount, &subIfds) == 1 && subIfds != nullptr) {
    offsets.assign(subIfds, subIfds + std::min<int>(subIfdCount, kMaxReducedCandidates));
  }
  for (const toff_t offset : offsets) {
    if (TIFFSetSubDirectory(tiff, offset) != 1) continue;
    if (const auto size = reducedSize(tiff)) found.push_back({true, offset, 0, *size});
  }
  for (tdir_t number = 1; number <= kMaxReducedCandidates; ++number) {
    if (TIFFSetDirectory(tiff, number) != 1) break;
    if (const auto size = reducedSize(tiff)) found.push_back({false, 0, number, *size});
  }
  const ReducedImage* best = nullptr;
  for (const ReducedImage& image : found) {
    const bool enough = image.size.width() >= wanted.width() &&
                        image.size.height() >= wanted.height() && sameAspect(image.size, full.size);
    const auto area = [](QSize size) { return qint64{size.width()} * size.height(); };
    if (enough && (best == nullptr || area(image.size) < area(best->size))) best = &image;
  }
  QImage picture;
  if (best != nullptr && !deadline.passed() && select(tiff, *best)) {
    picture = readTiff(tiff, box, deadline, &full);
  }
  if (picture.isNull() && TIFFSetDirectory(tiff, 0) != 1) return {};
  return picture;
}

// The picture from a reduced-resolution image where that may be used and one will do, otherwise
// from the first image.
QImage readTiffPicture(TIFF* tiff, QSize box, const Deadline& deadline, PictureSource source) {
  if (tiff == nullptr) return {};
  if (source == PictureSource::embeddedWhereLargeEnough) {
    QImage reduced = readReducedTiff(tiff, box, deadline);
    if (!reduced.isNull() || deadline.passed()) return reduced;
  }
  return readTiff(tiff, box, deadline);
}

}  // namespace

bool isTiff(std::string_view head) {
  using namespace std::string_view_literals;
  return head.starts_with("II*\0"sv) || head.starts_with("MM\0*"sv) ||
         head.starts_with("II+\0"sv) || head.starts_with("MM\0+"sv);
}

QImage readTiffDescriptor(int fd, std::uint64_t size, QSize box, const Deadline& deadline,
                          PictureSource source) {
  const TiffOptions options = silentTiffOptions();
  DescriptorTiff file{fd, size};
  const TiffFile tiff(TIFFClientOpenExt("picture", "rm", &file, readDescriptor, writeNothing,
                                        seekDescriptor, closeNothing, sizeOfDescriptor, mapNothing,
                                        unmapNothing, options.get()));
  return readTiffPicture(tiff.get(), box, deadline, source);
}

QImage readTiffBytes(std::span<const std::byte> bytes, QSize box, const Deadline& deadline,
                     PictureSource source) {
  const TiffOptions options = silentTiffOptions();
  MemoryTiff file{bytes};
  const TiffFile tiff(TIFFClientOpenExt("picture", "rm", &file, readMemory, writeNothing,
                                        seekMemory, closeNothing, sizeOfMemory, mapNothing,
                                        unmapNothing, options.get()));
  return readTiffPicture(tiff.get(), box, deadline, source);
}

}  // namespace quillmere::pictures
