#include "thumbnail/thumbnail.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QImageWriter>
#include <QtGlobal>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "../inspect/stderr_capture.h"
#include "support/images.h"
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
        Case{"camera.dng", [] { return testing::dngLikeImage(jpeg(240, 320), 320, 240); },
             QSize(24, 32)},
        // A preview of plain 8-bit RGB rows, which LibRaw hands over as a bitmap.
        Case{"bitmap.dng",
             [] {
               std::string rgb;
               for (int i = 0; i < 96 * 64; ++i) rgb += std::string{char(i), char(i / 96), 'x'};
               return testing::dngLikeImage(rgb, 96, 64, false);
             },
             QSize(48, 32)},
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
        // Nor does the TIFF reader, band by band: more pixels than could be decoded at full size
        // still give a picture.
        Case{"huge.tif",
             [] {
               QImage image(6000, 3000, QImage::Format_RGBA64);
               image.fill(QColor(10, 20, 30, 40));
               return encode(image, "tiff", false, 1);
             },
             QSize(64, 32)}),
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

TEST(Thumbnail, GivesNothingForFoldersMissingFilesAndFifos) {
  TempDir dir;
  EXPECT_TRUE(makeThumbnail(dir.path(), kBox).isNull());
  EXPECT_TRUE(makeThumbnail(dir.path() + "/missing.jpg", kBox).isNull());
  // A FIFO without a writer: opening it must not wait for one, nor reading it for data.
  const std::string fifo = dir.path() + "/photo.jpg";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_TRUE(makeThumbnail(fifo, kBox).isNull());
}

// Every input that ever broke the picture maker under the fuzzer, and its seeds: each gives a
// picture within the box or none (the sanitizer builds also check how it gets there).
TEST(Thumbnail, FuzzSeedsAndFindingsGiveAPictureWithinTheBoxOrNone) {
  const std::filesystem::path fuzz = QUILLMERE_FUZZ_DIR;
  int files = 0;
  for (const char* folder : {"regressions/thumbnail", "corpus/thumbnail"}) {
    for (const auto& entry : std::filesystem::directory_iterator(fuzz / folder)) {
      SCOPED_TRACE(entry.path().string());
      ++files;
      const QImage picture = makeThumbnail(entry.path().string(), kBox);
      if (!picture.isNull()) {
        EXPECT_LE(picture.width(), kBox.width());
        EXPECT_LE(picture.height(), kBox.height());
      }
    }
  }
  EXPECT_GE(files, 3) << "the fuzz folders are missing";
}

}  // namespace
}  // namespace quillmere
