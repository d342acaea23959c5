// Every seed of the fuzz corpora and every input that ever broke a promise under the fuzzers,
// replayed through the fuzz targets' own checks on every run of the suite.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "fuzz/fuzz_checks.h"
#include "inspect/image_info.h"
#include "records/records.h"
#include "support/temp_dir.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;

const fs::path kFuzzDir = QUILLMERE_FUZZ_DIR;

// The files of a corpus folder that must be there: a folder that is missing (renamed, not
// checked out, the wrong QUILLMERE_FUZZ_DIR) or holds no file fails the test instead of making it
// pass by checking nothing.
std::vector<fs::path> filesIn(const fs::path& folder) {
  std::vector<fs::path> files;
  if (!fs::is_directory(folder)) {
    ADD_FAILURE() << "the corpus folder " << folder << " is missing";
    return files;
  }
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  if (files.empty()) ADD_FAILURE() << "the corpus folder " << folder << " holds no file";
  std::sort(files.begin(), files.end());
  return files;
}

std::span<const std::byte> bytesOf(const std::string& text) {
  return std::as_bytes(std::span<const char>(text.data(), text.size()));
}

TEST(FuzzRegressions, RequestFilesKeepEveryPromise) {
  const auto seeds = filesIn(kFuzzDir / "corpus/request");
  EXPECT_GE(seeds.size(), 10u);
  for (const auto& folder : {"corpus/request", "regressions/request"}) {
    for (const auto& file : filesIn(kFuzzDir / folder)) {
      SCOPED_TRACE(file.string());
      EXPECT_EQ(fuzz::checkRequestDecoding(bytesOf(testing::readFile(file))).value_or(""), "");
    }
  }
}

TEST(FuzzRegressions, RendersKeepEveryPromise) {
  for (const auto& folder : {"corpus/image", "regressions/image"}) {
    for (const auto& file : filesIn(kFuzzDir / folder)) {
      SCOPED_TRACE(file.string());
      EXPECT_EQ(fuzz::checkImageInspection(bytesOf(testing::readFile(file))).value_or(""), "");
    }
  }
}

// The fuzzer grows its inputs slowly and seldom reaches the size limit; these are built at the
// largest size request mode parses, in the shapes that cost a JSON reader most: nesting, members
// and escapes.
TEST(FuzzRegressions, RequestsOfTheLargestParsedSizeKeepEveryPromise) {
  constexpr std::size_t kLargest = 4'194'303;
  std::string members = "{";
  for (int i = 0; members.size() < kLargest - 16; ++i)
    members += "\"k" + std::to_string(i) + "\":0,";
  members += "\"k\":0}";
  std::string escapes = R"({"provider":")";
  while (escapes.size() < kLargest - 8) escapes += "\\u0000";
  escapes += R"("})";
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"open brackets", std::string(kLargest, '[')},
      {"nested and closed", std::string(kLargest / 2, '[') + std::string(kLargest / 2, ']')},
      {"members", members},
      {"escapes", escapes},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_LE(c.bytes.size(), kLargest);
    EXPECT_EQ(fuzz::checkRequestDecoding(bytesOf(c.bytes)).value_or(""), "");
  }
}

// Manifests of batch folders, as --verify reads them: the seeds (the program's own manifests and
// near misses), then documents of the largest size it parses in the shapes that cost a JSON reader
// most, which the fuzzer seldom grows to.
TEST(FuzzRegressions, ManifestsKeepEveryPromise) {
  const auto seeds = filesIn(kFuzzDir / "corpus/manifest");
  EXPECT_GE(seeds.size(), 5u);
  for (const auto& file : seeds) {
    SCOPED_TRACE(file.string());
    EXPECT_EQ(fuzz::checkManifestReading(bytesOf(testing::readFile(file))).value_or(""), "");
  }
  constexpr std::size_t kLargest = 8 * 1024 * 1024;
  std::string members = "{";
  for (int i = 0; members.size() < kLargest - 16; ++i)
    members += "\"k" + std::to_string(i) + "\":0,";
  members += "\"k\":0}";
  std::string elements = "{\"items\":[";
  while (elements.size() < kLargest - 8) elements += "{},";
  elements += "{}]}";
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"open brackets", std::string(kLargest, '[')},
      {"nested and closed", std::string(kLargest / 2, '{') + std::string(kLargest / 2, '}')},
      {"members", members},
      {"array elements", elements},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_LE(c.bytes.size(), kLargest);
    EXPECT_EQ(fuzz::checkManifestReading(bytesOf(c.bytes)).value_or(""), "");
  }
}

// The image seeds start the fuzzer inside every path of the header readers: each accepted
// container, bit depth and layout, headers beyond the first 64 KiB read in one go, and the
// refusals that need a parsed header. A seed that no
// longer answers as listed here no longer does that job.
TEST(FuzzSeeds, ImageSeedsCoverEveryAcceptedKind) {
  const std::string general = kNotAnAcceptedImageMessage;
  const std::string depth = kUnsupportedBitDepthMessage;
  const std::map<std::string, std::string> expected = {
      {"png-rgb8.png", "PNG 3x2 8"},
      {"png-gray16.png", "PNG 2x2 16"},
      {"png-palette4.png", "PNG 3x2 8"},
      {"png-rgba8-interlaced.png", "PNG 5x3 8"},
      {"png-gray-alpha16.png", "PNG 1x1 16"},
      {"png-gray1-refused-depth.png", depth},
      {"png-animated-one-frame.png", "PNG 2x2 8"},
      {"png-animated-two-frames.png", general},
      {"jpeg-gray.jpg", "JPEG 1x1 8"},
      {"jpeg-rgb.jpg", "JPEG 9x7 8"},
      {"jpeg-progressive.jpg", "JPEG 4x4 8"},
      {"jpeg-exif.jpg", "JPEG 2x1 8"},
      {"jpeg-12bit.jpg", "JPEG 2x2 12"},
      {"jpeg-frame-past-64k.jpg", "JPEG 3x2 8"},
      {"png-palette-past-64k.png", "PNG 3x2 8"},
      {"jpeg-frame-past-960k.jpg", "JPEG 3x2 8"},
      {"png-palette-past-960k.png", "PNG 3x2 8"},
      {"tiff-directory-past-64k.tif", "TIFF 300x250 8"},
      {"tiff-rgb8-little-endian.tif", "TIFF 2x2 8"},
      {"tiff-gray16-big-endian.tif", "TIFF 2x1 16"},
      {"tiff-float32.tif", "TIFF 1x1 32"},
      {"tiff-bigtiff-gray8.tif", "TIFF 3x1 8"},
      {"tiff-tiled-gray8.tif", "TIFF 16x16 8"},
      {"tiff-bilevel-refused-depth.tif", depth},
      {"tiff-two-pages.tif", general},
  };
  std::map<std::string, std::string> answered;
  for (const auto& file : filesIn(kFuzzDir / "corpus/image")) {
    const std::string bytes = testing::readFile(file);
    try {
      const ImageInfo info = imageInfoOfBytes(bytesOf(bytes));
      answered[file.filename()] = info.mediaFormat + " " + std::to_string(info.width) + "x" +
                                  std::to_string(info.height) + " " + std::to_string(info.bitDepth);
    } catch (const BridgeFailure& failure) {
      answered[file.filename()] = failure.message();
    }
  }
  EXPECT_EQ(answered, expected);
}

}  // namespace
}  // namespace quillmere
