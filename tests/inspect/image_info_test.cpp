#include "inspect/image_info.h"

#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "support/image_fixtures.h"
#include "records/records.h"
#include "stderr_capture.h"
#include "support/temp_dir.h"

namespace quillmere {
namespace {

namespace fx = testing::fixtures;
using fx::JpegColour;
using testing::TempDir;

std::span<const std::byte> bytesOf(const std::string& text) {
  return std::as_bytes(std::span(text.data(), text.size()));
}

// The outcome of one inspection: the description, or the refusal's message. Anything else thrown
// fails the test where it happens.
struct Outcome {
  std::optional<ImageInfo> info;
  std::string refusal;
};

Outcome inspectBytes(const std::string& bytes) {
  try {
    return {imageInfoOfBytes(bytesOf(bytes)), {}};
  } catch (const BridgeFailure& failure) {
    return {std::nullopt, failure.message()};
  }
}

Outcome inspectFile(const std::string& path) {
  try {
    return {imageInfo(path), {}};
  } catch (const BridgeFailure& failure) {
    return {std::nullopt, failure.message()};
  }
}

std::string describe(const Outcome& outcome) {
  if (!outcome.info) return "refused: " + outcome.refusal;
  return outcome.info->mediaFormat + " " + std::to_string(outcome.info->width) + "x" +
         std::to_string(outcome.info->height) + " " + std::to_string(outcome.info->bitDepth) +
         " bits";
}

// Both entry points must agree on every file: they share one reader.
Outcome inspectBoth(const TempDir& dir, const std::string& name, const std::string& bytes) {
  const std::string path = dir / name;
  testing::writeFile(path, bytes);
  const Outcome fromFile = inspectFile(path);
  const Outcome fromBytes = inspectBytes(bytes);
  EXPECT_EQ(describe(fromFile), describe(fromBytes)) << name;
  return fromFile;
}

struct Case {
  const char* name;
  std::string bytes;
  std::optional<ImageInfo> admitted;  // nothing: refused with `message`
  const char* message = nullptr;
};

void expectOutcomes(const std::vector<Case>& cases) {
  TempDir dir;
  testing::StderrCapture stderrCapture;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The file's name never decides the container: every case is stored under a misleading one.
    const Outcome outcome = inspectBoth(dir, std::string(c.name) + ".gif", c.bytes);
    if (c.admitted) {
      EXPECT_EQ(describe(outcome), describe({c.admitted, {}}));
    } else {
      EXPECT_EQ(describe(outcome), describe({std::nullopt, c.message}));
    }
  }
  EXPECT_EQ(stderrCapture.finish(), "") << "an image library wrote to standard error";
}

ImageInfo info(const char* format, std::int64_t width, std::int64_t height, std::int64_t depth) {
  return ImageInfo{format, width, height, depth};
}

TEST(ImageInfoTest, DescribesSingleJpegPngAndTiffImages) {
  expectOutcomes({
      {"JPEG baseline RGB", fx::encodedJpeg(64, 48, JpegColour::rgb), info("JPEG", 64, 48, 8)},
      {"JPEG progressive", fx::encodedJpeg(33, 17, JpegColour::rgb, true), info("JPEG", 33, 17, 8)},
      {"JPEG grayscale", fx::encodedJpeg(16, 16, JpegColour::gray), info("JPEG", 16, 16, 8)},
      {"JPEG CMYK", fx::encodedJpeg(20, 10, JpegColour::cmyk), info("JPEG", 20, 10, 8)},
      // Precision and sizes beyond what this libjpeg build decodes are still facts of the file.
      {"JPEG 12-bit", fx::craftedJpeg(300, 200, 12, 0xC1), info("JPEG", 300, 200, 12)},
      {"JPEG 65,535 wide", fx::craftedJpeg(65535, 6103), info("JPEG", 65535, 6103, 8)},
      {"PNG 8-bit RGB", fx::encodedPng(640, 480, 8, PNG_COLOR_TYPE_RGB), info("PNG", 640, 480, 8)},
      {"PNG 8-bit interlaced", fx::encodedPng(9, 7, 8, PNG_COLOR_TYPE_RGB, true),
       info("PNG", 9, 7, 8)},
      {"PNG 16-bit RGBA", fx::encodedPng(8, 8, 16, PNG_COLOR_TYPE_RGB_ALPHA),
       info("PNG", 8, 8, 16)},
      {"PNG 16-bit gray", fx::encodedPng(8, 3, 16, PNG_COLOR_TYPE_GRAY), info("PNG", 8, 3, 16)},
      {"PNG indexed, 8-bit indices", fx::encodedPng(8, 8, 8, PNG_COLOR_TYPE_PALETTE),
       info("PNG", 8, 8, 8)},
      {"PNG indexed, 2-bit indices", fx::encodedPng(8, 8, 2, PNG_COLOR_TYPE_PALETTE),
       info("PNG", 8, 8, 8)},
      {"PNG indexed, 1-bit indices", fx::encodedPng(8, 8, 1, PNG_COLOR_TYPE_PALETTE),
       info("PNG", 8, 8, 8)},
      {"PNG animated with one frame", fx::animatedPng(8, 8, 8, PNG_COLOR_TYPE_RGB, 1),
       info("PNG", 8, 8, 8)},
      {"TIFF 8-bit RGB", fx::encodedTiff({}), info("TIFF", 8, 6, 8)},
      {"TIFF 16-bit RGB", fx::encodedTiff({.bitsPerSample = 16}), info("TIFF", 8, 6, 16)},
      {"TIFF 32-bit float RGB",
       fx::encodedTiff({.bitsPerSample = 32, .sampleFormat = SAMPLEFORMAT_IEEEFP}),
       info("TIFF", 8, 6, 32)},
      {"TIFF 16-bit gray, big-endian",
       fx::encodedTiff({.bitsPerSample = 16, .samplesPerPixel = 1, .bigEndian = true}),
       info("TIFF", 8, 6, 16)},
      {"TIFF tiled", fx::encodedTiff({.width = 40, .height = 20, .tiled = true}),
       info("TIFF", 40, 20, 8)},
      {"BigTIFF", fx::encodedTiff({.bigTiff = true}), info("TIFF", 8, 6, 8)},
      // Headers far from the start of the file, beyond any read-ahead.
      {"JPEG behind 192 KiB of APP2 segments",
       fx::withLargeAppSegments(fx::encodedJpeg(40, 30, JpegColour::rgb), 3),
       info("JPEG", 40, 30, 8)},
      {"PNG behind a 300 KB private chunk",
       fx::withChunkAfterHeader(fx::encodedPng(40, 30, 8, PNG_COLOR_TYPE_RGB),
                                fx::pngChunk("prVt", std::string(300'000, 'p'))),
       info("PNG", 40, 30, 8)},
      {"TIFF with its directory after 90 KB of pixels",
       fx::encodedTiff({.width = 200, .height = 150}), info("TIFF", 200, 150, 8)},
      {"TIFF 10-bit", fx::craftedTiff({.bitsPerSample = 10}), info("TIFF", 16, 16, 10)},
      {"TIFF 12-bit", fx::craftedTiff({.bitsPerSample = 12}), info("TIFF", 16, 16, 12)},
      {"TIFF 14-bit, big-endian", fx::craftedTiff({.bitsPerSample = 14, .bigEndian = true}),
       info("TIFF", 16, 16, 14)},
  });
}

TEST(ImageInfoTest, RefusesDepthsOutsideTheAcceptedOnes) {
  const char* depth = kUnsupportedBitDepthMessage;
  expectOutcomes({
      {"PNG 1-bit gray", fx::encodedPng(8, 8, 1, PNG_COLOR_TYPE_GRAY), {}, depth},
      {"PNG 2-bit gray", fx::encodedPng(8, 8, 2, PNG_COLOR_TYPE_GRAY), {}, depth},
      {"PNG 4-bit gray", fx::encodedPng(8, 8, 4, PNG_COLOR_TYPE_GRAY), {}, depth},
      {"TIFF 1-bit bilevel",
       fx::encodedTiff({.bitsPerSample = 1, .samplesPerPixel = 1}),
       {},
       depth},
      {"TIFF 4-bit gray", fx::encodedTiff({.bitsPerSample = 4, .samplesPerPixel = 1}), {}, depth},
      {"TIFF 64-bit float",
       fx::encodedTiff({.bitsPerSample = 64, .sampleFormat = SAMPLEFORMAT_IEEEFP}),
       {},
       depth},
      {"TIFF 24 bits per sample", fx::craftedTiff({.bitsPerSample = 24}), {}, depth},
      // The TIFF format's own default when the tag is absent is 1 bit per sample.
      {"TIFF without BitsPerSample", fx::craftedTiff({.bitsPerSample = std::nullopt}), {}, depth},
      {"JPEG 7-bit precision", fx::craftedJpeg(30, 20, 7, 0xC1), {}, depth},
  });
}

TEST(ImageInfoTest, RefusesEverythingButOneJpegPngOrTiffImage) {
  const char* general = kNotAnAcceptedImageMessage;
  expectOutcomes({
      {"two-page TIFF", fx::encodedTiff({.pages = 2}), {}, general},
      {"three-page BigTIFF", fx::encodedTiff({.pages = 3, .bigTiff = true}), {}, general},
      {"animated PNG of two frames", fx::animatedPng(8, 8, 8, PNG_COLOR_TYPE_RGB, 2), {}, general},
      {"GIF",
       std::string("GIF89a\x01\x00\x01\x00\x80\x00\x00\xFF\xFF\xFF\x00\x00\x00,", 20) +
           std::string("\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02\x44\x01\x00;", 15),
       {},
       general},
      {"BMP", "BM" + std::string(52, '\0'), {}, general},
      {"WebP",
       std::string("RIFF\x24\x00\x00\x00WEBPVP8 \x18\x00\x00\x00", 20) + std::string(24, '\0'),
       {},
       general},
      {"HEIC",
       std::string("\x00\x00\x00\x18"
                   "ftypheic\x00\x00\x00\x00mif1heic",
                   24),
       {},
       general},
      {"text", "This is not a photo.\n", {}, general},
      {"empty", "", {}, general},
      {"JPEG start only", "\xFF\xD8\xFF", {}, general},
      {"JPEG without a scan",
       fx::craftedJpeg(30, 20).substr(0, 2 + 2 + 8 + 9) + "\xFF\xD9",
       {},
       general},
      {"JPEG lossless", fx::craftedJpeg(30, 20, 16, 0xC3), {}, general},
      {"PNG signature only", "\x89PNG\r\n\x1A\n", {}, general},
      {"PNG with a damaged IHDR checksum",
       [] {
         std::string png = fx::craftedPng(30, 20);
         png[29] ^= 0x01;  // last byte of the IHDR checksum
         return png;
       }(),
       {},
       general},
      {"TIFF header only", std::string("II*\0\x08\0\0\0", 8), {}, general},
      {"TIFF whose first directory is past the end",
       fx::craftedTiff({.firstDirectoryOffset = 1'000'000}),
       {},
       general},
      {"TIFF whose next directory is past the end",
       fx::craftedTiff({.lastNextOffset = 1'000'000}),
       {},
       general},
      {"TIFF directory pointing to itself", fx::craftedTiff({.lastNextOffset = 8}), {}, general},
      {"TIFF directories in a loop",
       fx::craftedTiff(
           {.pages = 2, .lastNextOffset = fx::craftedTiffDirectoryOffset({.pages = 2}, 0)}),
       {},
       general},
  });
}

TEST(ImageInfoTest, AppliesTheDimensionLimitsToEveryContainer) {
  struct Dimensions {
    std::uint32_t width;
    std::uint32_t height;
    bool admitted;
  };
  const Dimensions table[] = {
      {100'000, 4'000, true},
      {4'000, 100'000, true},
      {100'000, 4'001, false},
      {20'000, 20'000, true},
      {20'001, 20'000, false},
      {20'000, 20'001, false},
      {100'000, 1, true},
      {100'001, 1, false},
      {1, 100'001, false},
      {1, 1, true},
      {0, 1, false},
      {1, 0, false},
      {4'294'967'295u, 1, false},
  };
  std::vector<Case> cases;
  std::vector<std::string> names;
  names.reserve(std::size(table) * 3);
  for (const Dimensions& d : table) {
    const std::string size = std::to_string(d.width) + "x" + std::to_string(d.height);
    const auto add = [&](const std::string& format, std::string bytes) {
      names.push_back(format + " " + size);
      cases.push_back(
          {names.back().c_str(), std::move(bytes),
           d.admitted ? std::optional(ImageInfo{format, d.width, d.height, 8}) : std::nullopt,
           kNotAnAcceptedImageMessage});
    };
    if (d.width <= PNG_UINT_31_MAX) add("PNG", fx::craftedPng(d.width, d.height));
    add("TIFF", fx::craftedTiff({.width = d.width, .height = d.height}));
    if (d.width <= 65535 && d.height <= 65535) {
      add("JPEG", fx::craftedJpeg(static_cast<std::uint16_t>(d.width),
                                  static_cast<std::uint16_t>(d.height)));
    }
  }
  expectOutcomes(cases);
}

TEST(ImageInfoTest, TheGeneralMessageWinsWhenTheDepthIsAlsoWrong) {
  const char* general = kNotAnAcceptedImageMessage;
  expectOutcomes({
      {"1-bit TIFF of 200,000 columns",
       fx::craftedTiff({.width = 200'000, .bitsPerSample = 1}),
       {},
       general},
      {"1-bit PNG of 100,001 rows",
       fx::craftedPng(10, 100'001, 1, PNG_COLOR_TYPE_GRAY),
       {},
       general},
      {"1-bit TIFF with zero width",
       fx::craftedTiff({.width = 0, .bitsPerSample = 1}),
       {},
       general},
      {"two-page 1-bit TIFF", fx::craftedTiff({.bitsPerSample = 1, .pages = 2}), {}, general},
      {"animated 1-bit PNG", fx::animatedPng(8, 8, 1, PNG_COLOR_TYPE_GRAY, 2), {}, general},
      {"12-bit JPEG 65,535 x 6,104", fx::craftedJpeg(65535, 6104, 12, 0xC1), {}, general},
  });
}

TEST(ImageInfoTest, FilesThatCannotBeReadAreRefusedWithTheGeneralMessage) {
  TempDir dir;
  const std::string fifo = dir / "render.png";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string folder = dir / "render.tif";
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  const std::string link = dir / "link.jpg";
  testing::writeFile(dir / "target.jpg", fx::encodedJpeg(12, 10, JpegColour::rgb));
  ASSERT_EQ(::symlink((dir / "target.jpg").c_str(), link.c_str()), 0);

  testing::StderrCapture stderrCapture;
  // A FIFO must not block the call, waiting for a writer that never comes.
  for (const std::string& path : {fifo, folder, dir / "missing.jpg", std::string()}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(describe(inspectFile(path)), describe({std::nullopt, kNotAnAcceptedImageMessage}));
  }
  EXPECT_EQ(describe(inspectFile(link)), describe({info("JPEG", 12, 10, 8), {}}));
  EXPECT_EQ(stderrCapture.finish(), "");
}

}  // namespace
}  // namespace quillmere
