#include "thumbnail/thumbnail.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QImageWriter>
#include <QtGlobal>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "../inspect/stderr_capture.h"
#include "support/temp_dir.h"

namespace quillmere {
namespace {

using testing::StderrCapture;
using testing::TempDir;
using testing::writeFile;

// Where the window's table draws a picture.
const QSize kBox(64, 32);

QImage gradient(int width, int height, QImage::Format format) {
  QImage image(width, height, format);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      image.setPixelColor(x, y, QColor(x * 255 / width, y * 255 / height, 128, (x + y) % 256));
    }
  }
  return image;
}

std::string encode(const QImage& image, const char* format, bool progressive = false,
                   int compression = 0) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  QImageWriter writer(&buffer, format);
  writer.setProgressiveScanWrite(progressive);
  writer.setCompression(compression);
  if (!writer.write(image)) ADD_FAILURE() << "cannot encode " << format;
  return bytes.toStdString();
}

// A little-endian TIFF laid out like a DNG: the first directory is a JPEG preview, a sub-directory
// holds a small Bayer mosaic as the raw data, as cameras and converters write them.
std::string dngLikeTiff(const std::string& previewJpeg, int previewWidth, int previewHeight) {
  constexpr std::uint32_t kRawWidth = 256;
  constexpr std::uint32_t kRawHeight = 192;
  std::string file;
  auto put16 = [&file](std::uint32_t value) {
    file.push_back(static_cast<char>(value & 0xff));
    file.push_back(static_cast<char>((value >> 8) & 0xff));
  };
  auto put32 = [&](std::uint32_t value) {
    put16(value & 0xffff);
    put16(value >> 16);
  };
  struct Entry {
    std::uint16_t tag;
    std::uint16_t type;  // 1 byte, 2 ascii, 3 short, 4 long
    std::uint32_t count;
    std::uint32_t value;  // inline value or offset
  };
  auto putDirectory = [&](const std::vector<Entry>& entries) {
    put16(static_cast<std::uint32_t>(entries.size()));
    for (const Entry& entry : entries) {
      put16(entry.tag);
      put16(entry.type);
      put32(entry.count);
      put32(entry.value);
    }
    put32(0);
  };
  constexpr std::uint32_t kDirectorySize = 2 + 12 * 16 + 4;
  // Layout: header (8), main directory, raw directory, strings and arrays, preview, raw pixels.
  const std::uint32_t mainAt = 8;
  const std::uint32_t rawAt = mainAt + kDirectorySize;
  const std::uint32_t extraAt = rawAt + kDirectorySize;
  const std::string make = std::string("Quillmere") + '\0';
  const std::string model = std::string("Test Mosaic") + '\0';
  const std::uint32_t makeAt = extraAt;
  const std::uint32_t modelAt = makeAt + static_cast<std::uint32_t>(make.size());
  const std::uint32_t bitsAt = modelAt + static_cast<std::uint32_t>(model.size()) + 1;
  const std::uint32_t previewAt = bitsAt + 8;
  const std::uint32_t pixelsAt = previewAt + static_cast<std::uint32_t>(previewJpeg.size()) + 1;
  const std::uint32_t pixelBytes = kRawWidth * kRawHeight * 2;

  file = "II";
  put16(42);
  put32(mainAt);
  std::vector<Entry> main{
      {254, 4, 1, 1},  // a reduced-resolution image
      {256, 4, 1, static_cast<std::uint32_t>(previewWidth)},
      {257, 4, 1, static_cast<std::uint32_t>(previewHeight)},
      {258, 3, 3, bitsAt},
      {259, 3, 1, 7},  // JPEG
      {262, 3, 1, 6},  // YCbCr
      {271, 2, static_cast<std::uint32_t>(make.size()), makeAt},
      {272, 2, static_cast<std::uint32_t>(model.size()), modelAt},
      {273, 4, 1, previewAt},
      {277, 3, 1, 3},
      {278, 4, 1, static_cast<std::uint32_t>(previewHeight)},
      {279, 4, 1, static_cast<std::uint32_t>(previewJpeg.size())},
      {330, 4, 1, rawAt},         // the raw data's directory
      {50706, 1, 4, 0x00000401},  // DNGVersion 1.4.0.0
      {50707, 1, 4, 0x00000101},  // DNGBackwardVersion 1.1.0.0
      {50708, 2, static_cast<std::uint32_t>(model.size()), modelAt},
  };
  putDirectory(main);
  std::vector<Entry> raw{
      {254, 4, 1, 0},
      {256, 4, 1, kRawWidth},
      {257, 4, 1, kRawHeight},
      {258, 3, 1, 16},
      {259, 3, 1, 1},
      {262, 3, 1, 32803},  // colour filter array
      {273, 4, 1, pixelsAt},
      {277, 3, 1, 1},
      {278, 4, 1, kRawHeight},
      {279, 4, 1, pixelBytes},
      {284, 3, 1, 1},
      {33421, 3, 2, 0x00020002},  // CFARepeatPatternDim 2 x 2
      {33422, 1, 4, 0x02010100},  // CFAPattern R G G B
      {50710, 1, 3, 0x00020100},  // CFAPlaneColor
      {50711, 3, 1, 1},           // CFALayout
      {50717, 4, 1, 65535},       // WhiteLevel
  };
  putDirectory(raw);
  file += make;
  file += model;
  file.push_back('\0');
  put16(8);
  put16(8);
  put16(8);
  put16(0);
  file += previewJpeg;
  file.push_back('\0');
  for (std::uint32_t i = 0; i < kRawWidth * kRawHeight; ++i) put16((i * 37) % 4096);
  return file;
}

struct Case {
  const char* name;
  std::function<std::string()> bytes;
  QSize expected;  // empty: no picture
};

class ThumbnailTable : public ::testing::TestWithParam<Case> {};

TEST_P(ThumbnailTable, GivesAPictureOfTheFittedSizeOrNoneAndPrintsNothing) {
  const Case& c = GetParam();
  const std::string bytes = c.bytes();
  TempDir dir;
  const std::string path = dir.path() + "/" + c.name;
  writeFile(path, bytes);

  // Qt's readers report damage through its message handler, which the window drops; nothing
  // may reach standard error past it, from LibRaw, libjpeg, libpng or libtiff.
  const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType, auto&, auto&) {});
  StderrCapture capture;
  const QImage fromFile = makeThumbnail(path, kBox);
  const QImage fromMemory =
      makeThumbnail(std::as_bytes(std::span(bytes.data(), bytes.size())), kBox);
  const std::string printed = capture.finish();
  qInstallMessageHandler(previous);

  EXPECT_EQ(printed, "");
  for (const QImage* image : {&fromFile, &fromMemory}) {
    if (c.expected.isEmpty()) {
      EXPECT_TRUE(image->isNull()) << image->width() << "x" << image->height();
    } else {
      ASSERT_FALSE(image->isNull());
      EXPECT_EQ(image->size(), c.expected);
    }
  }
}

std::string jpeg(int width, int height, bool progressive = false) {
  return encode(gradient(width, height, QImage::Format_RGB32), "jpeg", progressive);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ThumbnailTable,
    ::testing::Values(
        Case{"render.jpg", [] { return jpeg(1200, 800); }, QSize(48, 32)},
        Case{"progressive.jpg", [] { return jpeg(600, 1200, true); }, QSize(16, 32)},
        Case{"small.jpg", [] { return jpeg(20, 10); }, QSize(20, 10)},
        Case{"alpha.png", [] { return encode(gradient(640, 160, QImage::Format_ARGB32), "png"); },
             QSize(64, 16)},
        Case{"deep.tif", [] { return encode(gradient(300, 300, QImage::Format_RGBA64), "tiff"); },
             QSize(32, 32)},
        // The preview is upright while the directory says it lies: only LibRaw, which decodes the
        // preview's own bytes, gives an upright picture; a TIFF reader would give none or a wide
        // one.
        Case{"camera.dng", [] { return dngLikeTiff(jpeg(240, 320), 320, 240); }, QSize(24, 32)},
        Case{"truncated.jpg",
             [] {
               std::string bytes = jpeg(800, 600);
               return bytes.substr(0, 300);
             },
             QSize()},
        Case{"truncated.tif",
             [] {
               std::string bytes = encode(gradient(300, 300, QImage::Format_RGBA64), "tiff");
               return bytes.substr(0, bytes.size() / 2);
             },
             QSize()},
        Case{"notes.txt", [] { return std::string("Not a picture, just words.\n"); }, QSize()},
        Case{"empty.jpg", [] { return std::string(); }, QSize()},
        // Qt's PNG reader reduces row by row, so a large PNG is fine.
        Case{"large.png",
             [] {
               QImage image(6000, 3000, QImage::Format_ARGB32);
               image.fill(QColor(10, 20, 30, 40));
               return encode(image, "png");
             },
             QSize(64, 32)},
        // The TIFF reader cannot: more pixels than may be decoded at full size give no picture.
        Case{"huge.tif",
             [] {
               QImage image(6000, 3000, QImage::Format_RGBA64);
               image.fill(QColor(10, 20, 30, 40));
               return encode(image, "tiff", false, 1);
             },
             QSize()}),
    [](const ::testing::TestParamInfo<Case>& info) {
      std::string name = info.param.name;
      for (char& c : name) {
        if (c == '.') c = '_';
      }
      return name;
    });

TEST(Thumbnail, GivesUpOnceItsTimeIsSpent) {
  const std::string bytes = jpeg(400, 300);
  EXPECT_FALSE(makeThumbnail(std::as_bytes(std::span(bytes.data(), bytes.size())), kBox).isNull());
  EXPECT_TRUE(makeThumbnail(std::as_bytes(std::span(bytes.data(), bytes.size())), kBox,
                            std::chrono::milliseconds(0))
                  .isNull());
}

TEST(Thumbnail, GivesNothingForFoldersAndMissingFiles) {
  TempDir dir;
  EXPECT_TRUE(makeThumbnail(dir.path(), kBox).isNull());
  EXPECT_TRUE(makeThumbnail(dir.path() + "/missing.jpg", kBox).isNull());
}

}  // namespace
}  // namespace quillmere
