// Damaged and hostile files: whatever the bytes, inspection ends with a description within the
// limits or one of the two refusals, never another error, a crash, a hang or a diagnostic on
// standard error.
#include <gtest/gtest.h>
#include <png.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/images.h"
#include "inspect/image_info.h"
#include "records/records.h"
#include "stderr_capture.h"

namespace quillmere {
namespace {

namespace fx = testing::fixtures;

std::span<const std::byte> bytesOf(const std::string& text) {
  return std::as_bytes(std::span(text.data(), text.size()));
}

// Inspects `bytes` and checks that the outcome is one the system allows. Returns whether the file
// was admitted.
bool inspectAllowingAnyOutcome(const std::string& bytes) {
  try {
    const ImageInfo info = imageInfoOfBytes(bytesOf(bytes));
    EXPECT_TRUE(info.mediaFormat == "JPEG" || info.mediaFormat == "PNG" ||
                info.mediaFormat == "TIFF");
    EXPECT_GE(info.width, 1);
    EXPECT_GE(info.height, 1);
    EXPECT_LE(info.width * info.height, 400'000'000);
    return true;
  } catch (const BridgeFailure& failure) {
    EXPECT_TRUE(failure.message() == kNotAnAcceptedImageMessage ||
                failure.message() == kUnsupportedBitDepthMessage)
        << failure.message();
    return false;
  }
}

struct Sample {
  const char* name;
  std::string bytes;
};

std::vector<Sample> samples() {
  return {
      {"JPEG", fx::encodedJpeg(24, 16, fx::JpegColour::rgb)},
      {"progressive JPEG", fx::encodedJpeg(24, 16, fx::JpegColour::cmyk, true)},
      {"PNG", fx::encodedPng(12, 9, 16, PNG_COLOR_TYPE_RGB_ALPHA)},
      {"indexed PNG", fx::encodedPng(12, 9, 4, PNG_COLOR_TYPE_PALETTE)},
      {"animated PNG", fx::animatedPng(6, 6, 8, PNG_COLOR_TYPE_GRAY, 2)},
      {"TIFF", fx::encodedTiff({})},
      {"tiled big-endian TIFF",
       fx::encodedTiff({.width = 20, .height = 20, .bigEndian = true, .tiled = true})},
      {"two-page TIFF", fx::encodedTiff({.width = 4, .height = 4, .pages = 2})},
      {"BigTIFF", fx::encodedTiff({.width = 4, .height = 4, .bigTiff = true})},
  };
}

TEST(ImageRobustnessTest, EveryCutInsideTheHeadersIsRefused) {
  struct Header {
    const char* name;
    std::string bytes;
    std::size_t end;  // every shorter prefix lacks part of the header
  };
  const fx::CraftedTiff tiff;
  const Header headers[] = {
      {"PNG", fx::craftedPng(640, 480), 8 + 25 + 8},
      {"JPEG", fx::craftedJpeg(640, 480), fx::craftedJpegHeaderEnd()},
      {"TIFF", fx::craftedTiff(tiff), fx::craftedTiffFirstDirectoryEnd(tiff)},
  };
  testing::StderrCapture stderrCapture;
  for (const Header& header : headers) {
    SCOPED_TRACE(header.name);
    ASSERT_TRUE(inspectAllowingAnyOutcome(header.bytes));
    for (std::size_t length = 0; length < header.end; ++length) {
      SCOPED_TRACE(length);
      EXPECT_FALSE(inspectAllowingAnyOutcome(header.bytes.substr(0, length)));
    }
  }
  EXPECT_EQ(stderrCapture.finish(), "");
}

TEST(ImageRobustnessTest, TruncatedAndCorruptedFilesNeverEscapeTheRefusals) {
  std::mt19937 random(20240229);
  testing::StderrCapture stderrCapture;
  for (const Sample& sample : samples()) {
    SCOPED_TRACE(sample.name);
    for (std::size_t length = 0; length <= sample.bytes.size(); ++length) {
      inspectAllowingAnyOutcome(sample.bytes.substr(0, length));
    }
    // Damage concentrated on the first bytes, where the headers and most offsets are, and on the
    // last ones, where libtiff writes its directories.
    for (int round = 0; round < 400; ++round) {
      std::string damaged = sample.bytes;
      const int changes = 1 + static_cast<int>(random() % 4);
      for (int i = 0; i < changes; ++i) {
        const std::size_t span = std::min<std::size_t>(damaged.size(), 160);
        std::size_t at = random() % span;
        if (random() % 2 == 0) at = damaged.size() - 1 - at;
        damaged[at] = static_cast<char>(random() % 3 == 0 ? 0xFF : random());
      }
      inspectAllowingAnyOutcome(damaged);
    }
  }
  EXPECT_EQ(stderrCapture.finish(), "");
}

// The window inspects renders on the main thread while a batch inspects others in the
// background: nothing may be shared between concurrent inspections, diagnostics included.
TEST(ImageRobustnessTest, ConcurrentInspectionsDoNotInterfere) {
  struct Expectation {
    std::string bytes;
    std::string outcome;
  };
  const auto outcomeOf = [](const std::string& bytes) -> std::string {
    try {
      const ImageInfo info = imageInfoOfBytes(bytesOf(bytes));
      return info.mediaFormat + std::to_string(info.width) + "x" + std::to_string(info.height);
    } catch (const BridgeFailure& failure) {
      return failure.message();
    }
  };
  std::vector<Expectation> expectations;
  for (Sample& sample : samples()) expectations.push_back({sample.bytes, outcomeOf(sample.bytes)});
  // Files whose reading makes the libraries report errors, mixed in with the sound ones.
  for (const std::string& broken :
       {fx::craftedTiff({.lastNextOffset = 8}), fx::craftedTiff({.lastNextOffset = 1'000'000}),
        fx::craftedPng(0, 5), fx::craftedJpeg(0, 5)}) {
    expectations.push_back({broken, kNotAnAcceptedImageMessage});
  }

  std::atomic<int> mismatches = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 200; ++round) {
        const Expectation& e = expectations[(round + t * 3) % expectations.size()];
        if (outcomeOf(e.bytes) != e.outcome) ++mismatches;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace quillmere
