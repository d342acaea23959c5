#pragma once

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QImageWriter>
#include <QTransform>
#include <cstdint>
#include <optional>
#include <string>

namespace quillmere::testing {

// `image` as a baseline JPEG, as Qt's writer makes it.
inline std::string jpegOf(const QImage& image, int quality = 90) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  QImageWriter writer(&buffer, "jpeg");
  writer.setQuality(quality);
  writer.write(image);
  return bytes.toStdString();
}

inline QImage filled(int width, int height, QColor colour) {
  QImage image(width, height, QImage::Format_RGB32);
  image.fill(colour);
  return image;
}

// What IFD1 may claim instead of the truth, for thumbnails that lie about where they are.
struct ExifClaims {
  std::optional<std::uint32_t> offset;
  std::optional<std::uint32_t> length;
};

// `jpeg` with an EXIF segment right after its start marker, as cameras and editors write one:
// IFD0 records `orientation`, IFD1 points at `thumbnail`, held after the directories.
inline std::string withExifThumbnail(const std::string& jpeg, const std::string& thumbnail,
                                     int orientation = 1, ExifClaims claims = {}) {
  std::string tiff("II*\0\x08\0\0\0", 8);
  const auto put16 = [&tiff](std::uint32_t value) {
    tiff += static_cast<char>(value & 0xFF);
    tiff += static_cast<char>(value >> 8 & 0xFF);
  };
  const auto put32 = [&](std::uint32_t value) {
    put16(value & 0xFFFF);
    put16(value >> 16);
  };
  const auto entry = [&](std::uint32_t tag, std::uint32_t type, std::uint32_t value) {
    put16(tag);
    put16(type);
    put32(1);
    if (type == 3) {
      put16(value);
      put16(0);
    } else {
      put32(value);
    }
  };
  // IFD0 at 8: one entry, then where IFD1 starts (8 + 2 + 12 + 4 = 26).
  put16(1);
  entry(0x0112, 3, static_cast<std::uint32_t>(orientation));
  put32(26);
  // IFD1 at 26: three entries and the end of the chain; the thumbnail follows at 26 + 42 = 68.
  const auto size = static_cast<std::uint32_t>(thumbnail.size());
  put16(3);
  entry(0x0103, 3, 6);
  entry(0x0201, 4, claims.offset.value_or(68));
  entry(0x0202, 4, claims.length.value_or(size));
  put32(0);
  tiff += thumbnail;
  const std::string payload = std::string("Exif\0\0", 6) + tiff;
  const std::size_t length = payload.size() + 2;
  const std::string segment = std::string("\xFF\xE1", 2) + static_cast<char>(length >> 8) +
                              static_cast<char>(length & 0xFF) + payload;
  return jpeg.substr(0, 2) + segment + jpeg.substr(2);
}

// A landscape picture whose four quarters differ, as it should look on screen.
inline QImage quarters() {
  QImage image(120, 80, QImage::Format_RGB32);
  const QRgb colours[] = {qRgb(230, 30, 30), qRgb(30, 200, 30), qRgb(30, 30, 230),
                          qRgb(240, 240, 240)};
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      image.setPixel(x, y, colours[(y >= 40 ? 2 : 0) + (x >= 60 ? 1 : 0)]);
    }
  }
  return image;
}

// How a camera or editor stores `upright` when it records `orientation`: each of the eight is
// undone by itself, but for the quarter turns, which are undone by the opposite turn.
inline QImage storedAs(const QImage& upright, int orientation) {
  switch (orientation) {
    case 2:
      return upright.mirrored(true, false);
    case 3:
      return upright.transformed(QTransform().rotate(180));
    case 4:
      return upright.mirrored(false, true);
    case 5:  // rows and columns swapped
      return upright.transformed(QTransform(0, 1, 1, 0, 0, 0));
    case 6:
      return upright.transformed(QTransform().rotate(-90));
    case 7:  // swapped and both reversed
      return upright.transformed(QTransform(0, -1, -1, 0, 0, 0));
    case 8:
      return upright.transformed(QTransform().rotate(90));
    default:
      return upright;
  }
}

}  // namespace quillmere::testing
