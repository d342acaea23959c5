#include "inspect/image_info.h"

#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "records/records.h"
#include "stderr_capture.h"
#include "support/faulty_file_system.h"
#include "support/images.h"
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

namespace quillmere {
namespace {

// A JPEG's sample precision is part of its frame type: baseline frames carry 8 bits, extended and
// progressive ones (Huffman or arithmetic) 8 or 12. Any other precision is a malformed file, not
// a bit depth to refuse politely, whatever this libjpeg build can decode.
TEST(ImageInfoTest, AJpegPrecisionMustFitItsFrameType) {
  const struct {
    const char* name;
    int marker;
    std::vector<int> admitted;
  } frames[] = {
      {"baseline", 0xC0, {8}},
      {"extended", 0xC1, {8, 12}},
      {"progressive", 0xC2, {8, 12}},
      {"extended arithmetic", 0xC9, {8, 12}},
      {"progressive arithmetic", 0xCA, {8, 12}},
  };
  std::vector<Case> cases;
  std::vector<std::string> names;
  names.reserve(std::size(frames) * 6);
  for (const auto& frame : frames) {
    for (const int precision : {7, 8, 12, 16, 32, 255}) {
      names.push_back(std::string(frame.name) + " " + std::to_string(precision) + "-bit");
      const bool admitted = std::ranges::find(frame.admitted, precision) != frame.admitted.end();
      cases.push_back({names.back().c_str(), fx::craftedJpeg(40, 30, precision, frame.marker),
                       admitted ? std::optional(info("JPEG", 40, 30, precision)) : std::nullopt,
                       kNotAnAcceptedImageMessage});
    }
  }
  // Lossless and hierarchical frames are not read at all.
  cases.push_back({"lossless 8-bit", fx::craftedJpeg(40, 30, 8, 0xC3), std::nullopt,
                   kNotAnAcceptedImageMessage});
  cases.push_back({"differential 12-bit", fx::craftedJpeg(40, 30, 12, 0xC5), std::nullopt,
                   kNotAnAcceptedImageMessage});
  // Beyond the largest size this libjpeg decodes, the precision is still checked.
  cases.push_back({"baseline 16-bit 65,535 wide", fx::craftedJpeg(65535, 2, 16, 0xC0), std::nullopt,
                   kNotAnAcceptedImageMessage});
  cases.push_back({"progressive 12-bit 65,535 wide", fx::craftedJpeg(65535, 2, 12, 0xC2),
                   info("JPEG", 65535, 2, 12)});
  expectOutcomes(cases);
}

// Whatever a TIFF directory declares, libtiff is never let loose on more than 64 MiB of it: the
// entries and the values they store elsewhere in the file are added up first. The values here
// lie past the end of the small files, which libtiff tolerates for tags it does not know, so a
// directory under the bound is admitted.
TEST(ImageInfoTest, ATiffDirectoryDeclaringMoreThanTheBoundIsRefused) {
  constexpr std::uint64_t kMiB = 1 << 20;
  std::vector<Case> cases;
  std::vector<std::string> names;
  names.reserve(4 * 5);
  for (const bool bigTiff : {false, true}) {
    for (const bool bigEndian : {false, true}) {
      const std::string layout = std::string(bigTiff ? "BigTIFF" : "TIFF") +
                                 (bigEndian ? " big-endian" : " little-endian");
      const auto add = [&](const std::string& what, int tags, std::uint64_t bytes, bool admitted) {
        names.push_back(layout + ", " + what);
        const fx::CraftedTiff spec{.width = 10,
                                   .height = 10,
                                   .bigEndian = bigEndian,
                                   .bigTiff = bigTiff,
                                   .privateTags = tags,
                                   .privateTagBytes = bytes};
        cases.push_back({names.back().c_str(), fx::craftedTiff(spec),
                         admitted ? std::optional(info("TIFF", 10, 10, 8)) : std::nullopt,
                         kNotAnAcceptedImageMessage});
      };
      add("2 tags of 30 MiB", 2, 30 * kMiB, true);
      add("3 tags of 30 MiB", 3, 30 * kMiB, false);
      add("40 tags of 16 MiB", 40, 16 * kMiB, false);
      add("one tag of 4 GiB - 1", 1, 0xFFFF'FFFF, false);
      if (bigTiff) add("one tag whose size overflows", 1, std::uint64_t{1} << 62, false);
    }
  }
  expectOutcomes(cases);
}

std::string animationControl(std::uint32_t frames, std::size_t extraBytes = 0) {
  std::string data;
  for (const int shift : {24, 16, 8, 0}) data.push_back(static_cast<char>(frames >> shift));
  data += std::string(4 + extraBytes, '\0');  // plays: forever
  return fx::pngChunk("acTL", data);
}

// The animation control chunk is found without libpng keeping any chunk: one of them, before the
// image data, announces the frames; a repeated or malformed one is not a single image either.
TEST(ImageInfoTest, APngAnimationIsReadFromItsOneControlChunk) {
  const std::string still = fx::craftedPng(30, 20);
  const std::string beforeEnd = still.substr(0, still.size() - 12);
  const std::string end = still.substr(still.size() - 12);
  const char* general = kNotAnAcceptedImageMessage;
  expectOutcomes({
      {"one frame", fx::withChunkAfterHeader(still, animationControl(1)), info("PNG", 30, 20, 8)},
      {"no frames: the still image stands", fx::withChunkAfterHeader(still, animationControl(0)),
       info("PNG", 30, 20, 8)},
      {"two frames", fx::withChunkAfterHeader(still, animationControl(2)), {}, general},
      {"two frames behind a 300 KB private chunk",
       fx::withChunkAfterHeader(
           still, fx::pngChunk("prVt", std::string(300'000, 'p')) + animationControl(2)),
       {},
       general},
      {"two control chunks of one frame each",
       fx::withChunkAfterHeader(still, animationControl(1) + animationControl(1)),
       {},
       general},
      {"a control chunk of 9 bytes",
       fx::withChunkAfterHeader(still, animationControl(1, 1)),
       {},
       general},
      {"a control chunk after the image data", beforeEnd + animationControl(2) + end,
       info("PNG", 30, 20, 8)},
  });
}

// Inspection of a file the caller has open: reads at offsets through the file-system seam, never
// the path again, never the file position.
class OpenFileInspection : public ::testing::Test {
 protected:
  OpenFile open(const std::string& name, const std::string& bytes) {
    const std::string path = m_dir / name;
    testing::writeFile(path, bytes);
    return posixFileSystem().openForReading(path);
  }
  TempDir m_dir;
};

TEST_F(OpenFileInspection, DescribesWhatWasOpenedWhateverThePathNamesByNow) {
  const std::string jpeg = fx::withLargeAppSegments(fx::encodedJpeg(40, 30, JpegColour::rgb), 2);
  OpenFile file = open("render.jpg", jpeg);
  // Another program saves over the path (a new file renamed onto it) after the open.
  testing::writeFile(m_dir / "replacement.png", fx::encodedPng(64, 48, 16, PNG_COLOR_TYPE_RGB));
  ASSERT_EQ(::rename((m_dir / "replacement.png").c_str(), file.path.c_str()), 0);
  // Wherever the file position is, it is neither used nor moved.
  ASSERT_EQ(::lseek(file.fd.get(), 1000, SEEK_SET), 1000);

  testing::FaultyFileSystem fs;
  EXPECT_EQ(imageInfo(file, fs), info("JPEG", 40, 30, 8));
  EXPECT_EQ(::lseek(file.fd.get(), 0, SEEK_CUR), 1000);
  EXPECT_EQ(fs.calls(testing::FsOp::openForReading), 0);
  EXPECT_EQ(fs.calls(testing::FsOp::status), 0);
  EXPECT_EQ(fs.calls(testing::FsOp::read), 0);
  EXPECT_EQ(fs.calls(testing::FsOp::statusOfFile), 1);
  EXPECT_GE(fs.calls(testing::FsOp::readAt), 2);  // the headers lie beyond the first read
  // And again, from the same descriptor: nothing was consumed.
  EXPECT_EQ(imageInfo(file, fs), info("JPEG", 40, 30, 8));
  EXPECT_EQ(imageInfo(file.path), info("PNG", 64, 48, 16));
}

TEST_F(OpenFileInspection, AFailingReadOrStatusIsARefusalLikeATruncatedFile) {
  using testing::FsOp;
  const struct {
    const char* name;
    FsOp op;
    int failAt;
  } cases[] = {
      {"fstat", FsOp::statusOfFile, 1},
      {"the first read", FsOp::readAt, 1},
      {"the read past the application segments", FsOp::readAt, 2},
  };
  OpenFile file =
      open("render.jpg", fx::withLargeAppSegments(fx::encodedJpeg(40, 30, JpegColour::rgb), 2));
  testing::StderrCapture stderrCapture;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::FaultyFileSystem fs(c.op, c.failAt);
    try {
      imageInfo(file, fs);
      ADD_FAILURE() << "admitted although a read failed";
    } catch (const BridgeFailure& failure) {
      EXPECT_EQ(failure.message(), kNotAnAcceptedImageMessage);
    }
    EXPECT_TRUE(fs.fired());
  }
  EXPECT_EQ(stderrCapture.finish(), "");
}

}  // namespace
}  // namespace quillmere
