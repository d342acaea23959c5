#include "thumbnail/exif_thumbnail.h"

#include <QBuffer>
#include <QByteArray>
#include <QColorSpace>
#include <QImageReader>
#include <array>
#include <map>
#include <optional>

#include "thumbnail/qt_pictures.h"
#include "thumbnail/upright_srgb.h"

namespace quillmere::pictures {

namespace {

// The thumbnail, the profile and the frame sit in the first few segments; a file that has not
// reached its frame after this many is not worth walking further for a thumbnail.
constexpr int kMaxHeadSegments = 64;
constexpr int kTagOrientation = 0x0112;
constexpr int kTagCompression = 0x0103;
constexpr int kTagThumbnailOffset = 0x0201;
constexpr int kTagThumbnailLength = 0x0202;
// EXIF's "JPEG compression" for IFD1; older writers put 6, a few leave the tag out.
constexpr std::uint32_t kJpegCompression = 6;
constexpr qsizetype kMaxPaddingAfterEnd = 16;

// What the segments before a JPEG's frame tell about the whole image.
struct JpegHead {
  QByteArray exif;  // the TIFF structure of the APP1 "Exif" segment
  QByteArray icc;   // the ICC profile, its APP2 chunks joined in order
  QSize size;       // the whole image's, as stored
};

bool isFrameMarker(int marker) {
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

std::optional<JpegHead> readJpegHead(const ReadAt& readAt) {
  std::array<unsigned char, 8> b{};
  if (!readAt(0, b.data(), 2) || b[0] != 0xFF || b[1] != 0xD8) return std::nullopt;
  JpegHead head;
  std::map<int, QByteArray> iccChunks;
  int iccCount = 0;
  std::uint64_t at = 2;
  for (int segment = 0; segment < kMaxHeadSegments; ++segment) {
    if (!readAt(at, b.data(), 4) || b[0] != 0xFF) return std::nullopt;
    const int marker = b[1];
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    const int length = b[2] << 8 | b[3];
    if (length < 2 || marker == 0xDA || marker == 0xD9) return std::nullopt;
    if (isFrameMarker(marker)) {
      if (!readAt(at + 4, b.data(), 5)) return std::nullopt;
      head.size = QSize(b[3] << 8 | b[4], b[1] << 8 | b[2]);
      if (head.size.isEmpty()) return std::nullopt;
      // Chunks missing or repeated make no profile; the picture is then taken as sRGB, as the
      // whole image's would be.
      if (iccCount > 0 && static_cast<int>(iccChunks.size()) == iccCount &&
          iccChunks.begin()->first == 1 && iccChunks.rbegin()->first == iccCount) {
        for (const auto& chunk : iccChunks) head.icc += chunk.second;
      }
      return head;
    }
    const bool exif = marker == 0xE1 && head.exif.isEmpty();
    if (exif || marker == 0xE2) {
      QByteArray payload(length - 2, Qt::Uninitialized);
      if (!readAt(at + 4, payload.data(), static_cast<std::size_t>(payload.size()))) {
        return std::nullopt;
      }
      if (exif && payload.startsWith(QByteArrayView("Exif\0\0", 6))) {
        head.exif = payload.mid(6);
      } else if (marker == 0xE2 && payload.size() > 14 &&
                 payload.startsWith(QByteArrayView("ICC_PROFILE\0", 12))) {
        const int sequence = static_cast<unsigned char>(payload[12]);
        iccCount = static_cast<unsigned char>(payload[13]);
        iccChunks[sequence] = payload.mid(14);
      }
    }
    at += 2 + static_cast<std::uint64_t>(length);
  }
  return std::nullopt;
}

// A TIFF structure in memory, every read checked against its end.
class TiffBlock {
 public:
  explicit TiffBlock(const QByteArray& bytes) : m_bytes(bytes) {}

  bool valid() const {
    return m_bytes.size() >= 8 && (m_bytes.startsWith("II*\0") || m_bytes.startsWith("MM\0*"));
  }
  std::optional<std::uint32_t> u16(std::uint64_t at) const { return number(at, 2); }
  std::optional<std::uint32_t> u32(std::uint64_t at) const { return number(at, 4); }

  // The value of a SHORT or LONG tag of one count in the IFD at `ifd`.
  std::optional<std::uint32_t> tag(std::uint64_t ifd, int wanted) const {
    const auto count = u16(ifd);
    if (!count) return std::nullopt;
    for (std::uint32_t i = 0; i < *count; ++i) {
      const std::uint64_t entry = ifd + 2 + std::uint64_t{12} * i;
      const auto id = u16(entry);
      const auto type = u16(entry + 2);
      if (!id || !type) return std::nullopt;
      if (static_cast<int>(*id) != wanted) continue;
      if (*type == 3) return u16(entry + 8);
      if (*type == 4) return u32(entry + 8);
      return std::nullopt;
    }
    return std::nullopt;
  }
  // Where the IFD after the one at `ifd` starts; nothing at the chain's end.
  std::optional<std::uint32_t> nextIfd(std::uint64_t ifd) const {
    const auto count = u16(ifd);
    if (!count) return std::nullopt;
    const auto next = u32(ifd + 2 + std::uint64_t{12} * *count);
    if (!next || *next == 0) return std::nullopt;
    return next;
  }

 private:
  std::optional<std::uint32_t> number(std::uint64_t at, int size) const {
    if (at + static_cast<std::uint64_t>(size) > static_cast<std::uint64_t>(m_bytes.size())) {
      return std::nullopt;
    }
    const bool little = m_bytes[0] == 'I';
    std::uint32_t value = 0;
    for (int i = 0; i < size; ++i) {
      const auto byte =
          static_cast<unsigned char>(m_bytes[static_cast<qsizetype>(at) + (little ? size - 1 - i : i)]);
      value = value << 8 | byte;
    }
    return value;
  }

  const QByteArray& m_bytes;
};

struct ExifThumbnail {
  QByteArray jpeg;
  int orientation = 1;
};

std::optional<ExifThumbnail> exifThumbnail(const QByteArray& exif) {
  const TiffBlock block(exif);
  if (!block.valid()) return std::nullopt;
  const auto ifd0 = block.u32(4);
  if (!ifd0) return std::nullopt;
  ExifThumbnail thumbnail;
  const auto orientation = block.tag(*ifd0, kTagOrientation);
  if (orientation && *orientation >= 1 && *orientation <= 8) {
    thumbnail.orientation = static_cast<int>(*orientation);
  }
  const auto ifd1 = block.nextIfd(*ifd0);
  if (!ifd1 || *ifd1 == *ifd0) return std::nullopt;
  const auto compression = block.tag(*ifd1, kTagCompression);
  if (compression && *compression != kJpegCompression) return std::nullopt;
  const auto offset = block.tag(*ifd1, kTagThumbnailOffset);
  const auto length = block.tag(*ifd1, kTagThumbnailLength);
  if (!offset || !length || *length < 4 ||
      std::uint64_t{*offset} + *length > static_cast<std::uint64_t>(exif.size())) {
    return std::nullopt;
  }
  thumbnail.jpeg = exif.mid(static_cast<qsizetype>(*offset), static_cast<qsizetype>(*length));
  if (!thumbnail.jpeg.startsWith("\xFF\xD8\xFF")) return std::nullopt;
  // libjpeg fills a picture cut short with grey and calls it read; a thumbnail must end as every
  // writer ends one, with its end marker (some pad a few bytes after it).
  const qsizetype end = thumbnail.jpeg.lastIndexOf("\xFF\xD9");
  if (end < 2 || thumbnail.jpeg.size() - end > kMaxPaddingAfterEnd) return std::nullopt;
  return thumbnail;
}

}  // namespace

QImage readExifThumbnail(const ReadAt& readAt, QSize box, const Deadline& deadline) {
  const std::optional<JpegHead> head = readJpegHead(readAt);
  if (!head || head->exif.isEmpty() || deadline.passed()) return {};
  const std::optional<ExifThumbnail> thumbnail = exifThumbnail(head->exif);
  if (!thumbnail) return {};
  // A thumbnail can claim any size in its own frame; it is held to what its bytes could be.
  if (multiScanJpegCoefficientBytes(thumbnail->jpeg) > kMaxFullDecodeBytes) return {};
  QBuffer buffer;
  buffer.setData(thumbnail->jpeg);
  if (!buffer.open(QIODevice::ReadOnly)) return {};
  QImageReader reader(&buffer, "jpeg");
  // Thumbnails are stored as the whole image is, and IFD0's orientation turns both.
  reader.setAutoTransform(false);
  const QSize size = reader.size();
  const int orientation = thumbnail->orientation;
  // The whole image as it would be fitted into the box, still as stored.
  const QSize wanted = fitted(head->size, storedBox(box, orientation));
  if (!size.isValid() || size.width() < wanted.width() || size.height() < wanted.height() ||
      !sameAspect(size, head->size) ||
      qint64{size.width()} * size.height() * 4 > kMaxFullDecodeBytes) {
    return {};
  }
  if (size != wanted) reader.setScaledSize(wanted);
  QImage image;
  if (!reader.read(&image) || image.isNull() || deadline.passed()) return {};
  // An EXIF thumbnail carries no profile of its own: it is made from the whole image's pixels,
  // in the whole image's colour space, so the whole image's profile describes it.
  image.setColorSpace(QColorSpace());
  if (!head->icc.isEmpty()) {
    const QColorSpace space = QColorSpace::fromIccProfile(head->icc);
    if (space.isValid()) {
      image.setColorSpace(space);
    } else {
      image = inSrgbByLittleCms(image, head->icc);
    }
  }
  return finish(upright(image, orientation), box, storedBox(head->size, orientation));
}

}  // namespace quillmere::pictures
