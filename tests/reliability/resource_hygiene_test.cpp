// Every file handle is closed on every path, and memory does not grow with the size of the files
// a batch reads nor with what a render's headers declare.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/request_mode.h"
#include "inspect/digest.h"
#include "inspect/image_info.h"
#include "reliability/reliability_support.h"
#include "support/images.h"
#include "support/images.h"
#include "support/temp_dir.h"
#include "transfer/create_batch.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
namespace fx = testing::fixtures;
using testing::writeFile;

constexpr int kItems = 1000;

class ResourceHygiene : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* folder : {"in", "out"}) fs::create_directory(m_dir / folder);
  }
  testing::TempDir m_dir;
};

TEST_F(ResourceHygiene, AThousandAcceptedAndAThousandRefusedItemsLeaveNoDescriptorOpen) {
  const std::string destination = m_dir / "out";
  const BatchRequest good = testing::smallRequest(m_dir / "in", destination, 3);
  const std::string in = m_dir / "in";
  writeFile(in + "/not-an-image.jpg", "plain text");
  writeFile(in + "/truncated.png", testing::pngImage(4, 4).substr(0, 30));
  writeFile(in + "/empty", "");
  testing::makeSparseFile(in + "/too-large.png", 536'870'913);
  ASSERT_EQ(::mkfifo((in + "/fifo").c_str(), 0600), 0);

  // Ways for the second pair of a batch to be refused, after the first pair has been staged.
  const std::vector<std::function<void(Pair&)>> refusals = {
      [](Pair& p) { p.externalVariantId.clear(); },
      [&](Pair& p) { p.sourcePath = in + "/missing"; },
      [&](Pair& p) { p.sourcePath = in; },
      [&](Pair& p) { p.renderPath = in + "/empty"; },
      [&](Pair& p) { p.renderPath = in + "/not-an-image.jpg"; },
      [&](Pair& p) { p.renderPath = in + "/truncated.png"; },
      [&](Pair& p) { p.renderPath = in + "/too-large.png"; },
      [&](Pair& p) { p.renderPath = in + "/fifo"; },
      [&](Pair& p) { p.sourcePath = in + "/fifo"; },
  };
  // Files every inspection and every hash is asked about, readable or not.
  std::vector<std::string> files;
  for (const auto& pair : good.items) files.push_back(pair.renderPath);
  for (const char* name : {"not-an-image.jpg", "truncated.png", "empty", "fifo", "missing", ""}) {
    files.push_back(in + "/" + name);
  }

  const int before = testing::openDescriptorCount();

  // A thousand accepted items: two batches of 500 pairs.
  BatchRequest large = good;
  while (large.items.size() < 500) large.items.push_back(good.items[large.items.size() % 3]);
  for (int batch = 0; batch < kItems / 500; ++batch) EXPECT_EQ(createBatch(large).count, 500);

  // A thousand refused items, each ending its batch and rolling it back.
  for (int i = 0; i < kItems; ++i) {
    BatchRequest spoiled{
        good.provider, good.catalogId, destination, {good.items[0], good.items[1]}};
    refusals[static_cast<std::size_t>(i) % refusals.size()](spoiled.items[1]);
    EXPECT_THROW(createBatch(spoiled), std::exception);
  }

  // A thousand inspections and a thousand hashes, accepted and refused alike.
  for (int i = 0; i < kItems; ++i) {
    const std::string& file = files[static_cast<std::size_t>(i) % files.size()];
    try {
      imageInfo(file);
    } catch (const BridgeFailure&) {
    }
    try {
      sha256(file);
    } catch (const std::system_error&) {
    }
  }

  EXPECT_EQ(testing::openDescriptorCount(), before);
  EXPECT_EQ(testing::namesIn(destination).size(), 2u);
}

// Each operation runs in a child process, once on a file of 64 MiB and once on one of 512 MiB (both
// sparse, so they cost no disk); the child's peak resident memory must be the same within the size
// of a read buffer or two.
TEST_F(ResourceHygiene, PeakMemoryDoesNotGrowWithFileSize) {
  constexpr std::int64_t kSmall = 64 << 20;
  constexpr std::int64_t kLarge = 512 << 20;
  constexpr long kToleranceKiB = 16 << 10;
  const std::string in = m_dir / "in";
  const std::string render = in + "/render.png";
  writeFile(render, testing::pngImage(4, 4));

  const struct {
    const char* name;
    std::string head;  // the file's first bytes; the rest is a hole up to the size under test
    std::function<bool(const std::string& file)> run;
  } cases[] = {
      {"inspecting a render", testing::pngImage(4, 4),
       [](const std::string& file) { return imageInfo(file).mediaFormat == "PNG"; }},
      // The original is hashed twice by the batch: this is also the case of sha256 itself.
      {"a batch whose original is that large", "original",
       [&](const std::string& file) {
         const BatchRequest request{"CAPTURE_ONE", "c", m_dir / "out", {{file, render, "p", "v"}}};
         return createBatch(request).count == 1;
       }},
      {"request mode refusing a request file that large", "{",
       [&](const std::string& file) {
         return runRequestMode(file, m_dir / "out/result.json") == 1;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    long peak[2] = {};
    for (const int index : {0, 1}) {
      const std::string file = in + "/large";
      writeFile(file, c.head);
      fs::resize_file(file, index == 0 ? kSmall : kLarge);
      bool ok = false;
      peak[index] = testing::peakMemoryOfChild([&] { return c.run(file); }, ok);
      EXPECT_TRUE(ok) << "the operation failed on file " << index;
      fs::remove(file);
    }
    EXPECT_LT(peak[1] - peak[0], kToleranceKiB)
        << peak[0] << " KiB for 64 MiB, " << peak[1] << " KiB for 512 MiB";
  }
}

// Renders whose headers declare far more than they hold, inspected in a child process: the
// child's peak memory may exceed that of inspecting a small sound render by no more than the
// fixed bound of inspection (64 MiB), whatever the headers say. Both files are sparse.
TEST_F(ResourceHygiene, HostileRenderHeadersCannotDriveMemory) {
  constexpr long kBoundKiB = 64 << 10;
  const std::string in = m_dir / "in";
  const auto refused = [](const std::string& file) {
    try {
      imageInfo(file);
      return false;
    } catch (const BridgeFailure& failure) {
      return failure.message() == std::string(kNotAnAcceptedImageMessage);
    }
  };

  const std::string sound = in + "/sound.png";
  writeFile(sound, testing::pngImage(10, 10));
  bool ok = false;
  const long baseline = testing::peakMemoryOfChild(
      [&] {
        return imageInfo(sound) == ImageInfo{"PNG", 10, 10, 8};
      },
      ok);
  ASSERT_TRUE(ok);

  // A valid 10x10 TIFF whose first directory declares 40 private tags of 16 MiB, all stored at
  // one offset of a 16 MiB file: libtiff alone would hold 640 MiB of copies.
  const std::string tiff = in + "/private-tags.tif";
  const fx::CraftedTiff spec{
      .width = 10, .height = 10, .privateTags = 40, .privateTagBytes = std::uint64_t{16} << 20};
  writeFile(tiff, fx::craftedTiff(spec));
  fs::resize_file(tiff, fx::craftedTiffDataOffset(spec) + spec.privateTagBytes);
  // A 1x1 PNG with 66 animation control chunks of 8,000,000 bytes before its image data: libpng
  // told to keep the chunk would keep every copy, 528 MB.
  const std::string png = in + "/repeated-actl.png";
  fx::writePngWithRepeatedChunk(png, "acTL", 8'000'000, 66);

  for (const std::string& file : {tiff, png}) {
    SCOPED_TRACE(file);
    const long peak = testing::peakMemoryOfChild([&] { return refused(file); }, ok);
    EXPECT_TRUE(ok) << "not refused with the general message";
    EXPECT_LT(peak - baseline, kBoundKiB) << peak << " KiB against " << baseline << " KiB";
  }
}

}  // namespace
}  // namespace quillmere
