// Files that another program changes while a batch reads them, and a destination whose medium
// does not hold what was written: each is refused and rolled back, and nothing the manifest says
// is ever of bytes other than those stored.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "inspect/image_info.h"
#include "platform/system_error.h"
#include "support/failures.h"
#include "support/faulty_file_system.h"
#include "support/images.h"
#include "support/temp_dir.h"
#include "support/batch_folders.h"
#include "transfer/create_batch.h"
#include "transfer/manifest.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using testing::failureOf;
using testing::FaultyFileSystem;
using testing::FsOp;
using testing::writeFile;

void put16(std::string& bytes, std::size_t at, std::uint16_t value) {
  bytes[at] = static_cast<char>(value & 0xFF);
  bytes[at + 1] = static_cast<char>(value >> 8);
}
void put32(std::string& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

// A grey little-endian TIFF whose directory follows its pixels, at the end of the file, as many
// writers place it. The width and the bit depth sit at fixed offsets so that a test can rewrite
// them in place.
struct TailTiff {
  static constexpr std::uint32_t kWidth = 2048;
  static constexpr std::uint32_t kHeight = 2560;
  static constexpr std::size_t kPixels = std::size_t{kWidth} * kHeight;  // 5 MiB at 8 bits
  static constexpr std::size_t kDirectory = 8 + kPixels;
  static constexpr int kEntries = 9;
  // Entry i starts at kDirectory + 2 + 12 * i; its inline value 8 bytes further.
  static constexpr std::size_t kWidthValue = kDirectory + 2 + 12 * 0 + 8;
  static constexpr std::size_t kBitsValue = kDirectory + 2 + 12 * 2 + 8;

  static std::string bytes() {
    std::string tiff(kDirectory + 2 + 12 * kEntries + 4, '\0');
    tiff.replace(0, 4, "II*\0", 4);
    put32(tiff, 4, static_cast<std::uint32_t>(kDirectory));
    for (std::size_t i = 8; i < kDirectory; ++i) tiff[i] = static_cast<char>(i * 7);
    put16(tiff, kDirectory, kEntries);
    const struct {
      std::uint16_t tag, type;
      std::uint32_t value;
    } entries[kEntries] = {
        {256, 4, kWidth},  {257, 4, kHeight}, {258, 3, 8},    {259, 3, 1},
        {262, 3, 1},       {273, 4, 8},       {277, 3, 1},    {278, 4, kHeight},
        {279, 4, static_cast<std::uint32_t>(kPixels)},
    };
    for (int i = 0; i < kEntries; ++i) {
      const std::size_t at = kDirectory + 2 + 12 * i;
      put16(tiff, at, entries[i].tag);
      put16(tiff, at + 2, entries[i].type);
      put32(tiff, at + 4, 1);
      if (entries[i].type == 3) {
        put16(tiff, at + 8, static_cast<std::uint16_t>(entries[i].value));
      } else {
        put32(tiff, at + 8, entries[i].value);
      }
    }
    return tiff;
  }
};

// Overwrites `bytes` at `offset` of a file, in place, keeping its size.
void overwrite(const std::string& path, std::size_t offset, const std::string& bytes) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  file.seekp(static_cast<std::streamoff>(offset));
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class BatchRaces : public testing::BatchFolders {
 protected:
  // One pair large enough to be read in several chunks (and on both threads).
  BatchRequest largePair() {
    BatchRequest r{"CAPTURE_ONE", "catalog", destination(), {}};
    r.items.push_back({input("DSC_1234.cr3", std::string(6 << 20, 'o')),
                       input("DSC_1234.tif", TailTiff::bytes()), "photo/1", "v1"});
    return r;
  }
};

// A file cut short ahead of the reader, a header rewritten in place after inspection, an
// original swapped for a larger file between its two hashes: each is a change, never a batch.
TEST_F(BatchRaces, FilesChangedWhileReadAreRefusedAsChanged) {
  // A first, untouched run counts the render's reads: its inspection's, then its hash's, which
  // end with five chunks of 1 MiB and the read that finds the end. A change at the fourth-last
  // read lands in the middle of the hash, after inspection and before the hash reaches the
  // directory at the end.
  int renderReadsInAll = 0;
  {
    const BatchRequest r = largePair();
    FaultyFileSystem counter;
    counter.before = [&](FsOp op, const std::string& path) {
      if (op == FsOp::readAt && path == r.items[0].renderPath) ++renderReadsInAll;
    };
    const BatchResult saved = createBatch(r, counter);
    ASSERT_TRUE(saved.directory);
    // Described as it is: the fixture is the picture the cases below turn into another.
    const auto manifest = nlohmann::json::parse(
        testing::readFile(*saved.directory + "/" + std::string(kManifestFileName)));
    EXPECT_EQ(manifest["items"][0]["width"], TailTiff::kWidth);
    EXPECT_EQ(manifest["items"][0]["bitDepth"], 8);
    fs::remove_all(*saved.directory);
  }
  const int midHash = renderReadsInAll - 4;
  ASSERT_GT(midHash, 1);

  const struct {
    const char* name;
    // Called before every file operation (one at a time) with the pair under attack and the
    // number of reads of each of its files so far.
    std::function<void(FsOp, const std::string&, const Pair&, int originalReads, int renderReads)>
        change;
  } cases[] = {
      {"original cut ahead of its first hash",
       [](FsOp op, const std::string& path, const Pair& pair, int originalReads, int) {
         if (op == FsOp::readAt && path == pair.sourcePath && originalReads == 2) {
           ASSERT_EQ(::truncate(path.c_str(), 4 << 20), 0);
         }
       }},
      {"render cut ahead of its hash",
       [&](FsOp op, const std::string& path, const Pair& pair, int, int renderReads) {
         if (op == FsOp::readAt && path == pair.renderPath && renderReads == midHash) {
           ASSERT_EQ(::truncate(path.c_str(), 3 << 20), 0);
         }
       }},
      {"directory rewritten in place after inspection, before the hash reaches it",
       [&](FsOp op, const std::string& path, const Pair& pair, int, int renderReads) {
         if (op == FsOp::readAt && path == pair.renderPath && renderReads == midHash) {
           // Half as wide at twice the depth: the same pixel bytes, another picture.
           std::string width(4, '\0'), bits(2, '\0');
           put32(width, 0, TailTiff::kWidth / 2);
           put16(bits, 0, 16);
           overwrite(path, TailTiff::kWidthValue, width);
           overwrite(path, TailTiff::kBitsValue, bits);
         }
       }},
      {"original replaced by a larger file between its hashes",
       [this](FsOp op, const std::string& path, const Pair& pair, int originalReads, int) {
         if (op == FsOp::openForReading && path == pair.sourcePath && originalReads > 0) {
           const std::string larger = m_dir / "larger.cr3";
           testing::makeSparseFile(larger, std::int64_t{1} << 30);
           fs::rename(larger, path);
         }
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const BatchRequest r = largePair();
    const Pair& pair = r.items[0];
    FaultyFileSystem spy;
    int originalReads = 0, renderReads = 0, originalOpens = 0, readsOfASecondOpen = 0;
    spy.before = [&](FsOp op, const std::string& path) {
      if (op == FsOp::openForReading && path == pair.sourcePath) ++originalOpens;
      if (op == FsOp::readAt && path == pair.sourcePath) {
        ++originalReads;
        if (originalOpens > 1) ++readsOfASecondOpen;
      }
      if (op == FsOp::readAt && path == pair.renderPath) ++renderReads;
      c.change(op, path, pair, originalReads, renderReads);
    };
    EXPECT_EQ(failureOf([&] { createBatch(r, spy); }), kChangedDuringTransferMessage);
    EXPECT_TRUE(fs::is_empty(destination()));
    if (fs::file_size(pair.sourcePath) > (std::uintmax_t{1} << 29)) {
      // Nothing of a file found to be another one is read.
      EXPECT_EQ(readsOfASecondOpen, 0);
    }
    for (const auto& e : fs::directory_iterator(destination())) fs::remove_all(e.path());
  }
}

// Another program renames a file of the very same size onto a photo's path between its admission
// and its open, as an exporter saving again would: what is opened is not the file admitted, and
// nothing of it is hashed into the manifest or stored.
TEST_F(BatchRaces, AFileOfTheSameSizeRenamedOntoAPhotoBeforeItsOpenIsRefusedAsChanged) {
  const struct {
    const char* name;
    bool render;
    std::string admitted, replacement;
  } cases[] = {
      {"a render", true, testing::tiffImage(16, 12, 1), testing::tiffImage(16, 12, 2)},
      {"an original", false, "original one", "original two"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(c.admitted.size(), c.replacement.size());
    ASSERT_NE(c.admitted, c.replacement);
    BatchRequest r{"CAPTURE_ONE", "catalog", destination(), {}};
    r.items.push_back({input("DSC_1234.cr3", c.render ? "original one" : c.admitted),
                       input("DSC_1234.tif", c.render ? c.admitted : testing::tiffImage(16, 12, 1)),
                       "photo/1", "v1"});
    const std::string target = c.render ? r.items[0].renderPath : r.items[0].sourcePath;
    FaultyFileSystem spy;
    bool admitted = false, swapped = false;
    spy.before = [&](FsOp op, const std::string& path) {
      if (path != target) return;
      if (op == FsOp::status) admitted = true;
      if (op == FsOp::openForReading && admitted && !swapped) {
        writeFile(m_dir / "replacement", c.replacement);
        fs::rename(m_dir / "replacement", target);
        swapped = true;
      }
    };
    EXPECT_EQ(failureOf([&] { createBatch(r, spy); }), kChangedDuringTransferMessage);
    EXPECT_TRUE(swapped);
    EXPECT_TRUE(fs::is_empty(destination()));
    for (const auto& e : fs::directory_iterator(destination())) fs::remove_all(e.path());
  }
}

// The checks keep their order: the render's size is judged by what admission saw, the original is
// hashed before the render is opened, and a render that cannot be opened is no acceptable image.
TEST_F(BatchRaces, UnreadableFilesAreReportedInTheOrderOfTheChecks) {
  const std::string original = input("DSC_1234.cr3", "original");
  const std::string render = input("DSC_1234.png", testing::pngImage(8, 8));
  const std::string huge = m_dir / "in/huge.png";
  testing::makeSparseFile(huge, (std::int64_t{512} << 20) + 1);
  const struct {
    const char* name;
    std::string render;
    bool originalUnreadable;
    std::string failure;
  } cases[] = {
      {"unreadable render", render, false, kNotAnAcceptedImageMessage},
      {"unreadable render over the size limit", huge, false, kRenderTooLargeMessage},
      {"unreadable original and render", render, true,
       systemErrorText(EACCES, "open", original)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BatchRequest r{"CAPTURE_ONE", "catalog", destination(), {{original, c.render, "p", "v"}}};
    FaultyFileSystem unreadable;
    unreadable.before = [&](FsOp op, const std::string& path) {
      if (op != FsOp::openForReading) return;
      if (path == c.render || (c.originalUnreadable && path == original)) {
        throwSystemError(EACCES, "open", path);
      }
    };
    EXPECT_EQ(failureOf([&] { createBatch(r, unreadable); }), c.failure);
    EXPECT_TRUE(fs::is_empty(destination()));
  }
}

// A copy or a manifest that the destination's medium gives back other than it was written fails
// the batch with a message that blames the disk, names the file by its would-be saved path, and
// rolls back. The fake changes only reads made after the file's cached pages were dropped, and, as
// a kernel does, drops only pages already flushed: a batch that stopped dropping them, or dropped
// them before the flush (and so read memory, not the medium), would pass and fail this test. A
// copy among others, a lone large pair's (flushed beside the original's second hash) and the
// manifest are each brought back from the medium in their own place.
TEST_F(BatchRaces, ACopyOrManifestTheMediumDoesNotHoldAsWrittenFailsTheBatch) {
  const struct {
    const char* name;
    std::function<bool(const std::string&)> differs;
    std::string storedSuffix;
    bool lone = false;  // the large pair alone, with no small one beside it
  } cases[] = {
      {"a copy", [](const std::string& path) { return path.ends_with(".tif"); }, ".tif"},
      {"a lone large pair's copy", [](const std::string& path) { return path.ends_with(".tif"); },
       ".tif", true},
      {"the manifest",
       [](const std::string& path) { return path.ends_with(kManifestFileName); },
       std::string("/") + kManifestFileName},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BatchRequest r = largePair();
    if (!c.lone) {
      r.items.push_back({input("small.cr3", "o"), input("small.png", testing::pngImage(4, 4)),
                         "photo/2", "v2"});
    }
    FaultyFileSystem medium;
    medium.mediumDiffers = c.differs;
    std::optional<BatchFailureSite> site;
    BatchObserver observer;
    observer.failed = [&](const BatchFailureSite& where) { site = where; };
    EXPECT_EQ(failureOf([&] { createBatch(r, medium, &observer); }), kMediumMismatchMessage);
    EXPECT_TRUE(fs::is_empty(destination()));
    ASSERT_TRUE(site && site->storedFile);
    EXPECT_EQ(site->subject, BatchSubject::none);  // never the exporter's fault
    EXPECT_TRUE(site->storedFile->starts_with(destination() + "/Quillmere-")) << *site->storedFile;
    EXPECT_TRUE(site->storedFile->ends_with(c.storedSuffix)) << *site->storedFile;
    EXPECT_GT(medium.calls(FsOp::dropCachedPages), 0);
  }
}

// A copy is hashed once, as the medium gives it back: nothing of it is read before it is flushed
// (and its cached pages dropped, which only a flushed file allows), once. A batch that hashed the
// copy from memory as well (a pass more over every render) fails this, on many pairs as on a lone
// large one.
TEST_F(BatchRaces, EachCopyIsReadOnlyAsTheMediumGivesItBack) {
  const struct {
    const char* name;
    int smallPairs;
  } cases[] = {{"a lone large pair", 0}, {"a large pair among small ones", 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BatchRequest r = largePair();
    for (int i = 0; i < c.smallPairs; ++i) {
      const std::string name = "small" + std::to_string(i);
      r.items.push_back({input(name + ".cr3", "o" + name),
                         input(name + ".png", testing::pngImage(4, 4, i)), "p" + name, "v" + name});
    }
    std::map<std::string, int> readsBeforeFlush, flushes;
    FaultyFileSystem spy;
    spy.before = [&](FsOp op, const std::string& path) {
      if (path.find("/.quillmere-partial-") == std::string::npos) return;
      if (op == FsOp::sync) ++flushes[path];
      if (op == FsOp::readAt && flushes[path] == 0) ++readsBeforeFlush[path];
    };
    const BatchResult saved = createBatch(r, spy);
    ASSERT_TRUE(saved.directory);
    std::size_t copies = 0;
    for (const auto& [path, flushed] : flushes) {
      const std::string extension = fs::path(path).extension().string();
      if (extension != ".tif" && extension != ".png") continue;  // the folder, the manifest
      SCOPED_TRACE(path);
      EXPECT_EQ(flushed, 1);
      EXPECT_EQ(readsBeforeFlush[path], 0);
      ++copies;
    }
    EXPECT_EQ(copies, r.items.size());
    fs::remove_all(*saved.directory);
  }
}

// A destination that never holds what it is given, seen from the copy's first read: the render,
// hashed again, still matches, so the disk is blamed and the stored file named; no photo is marked.
// Only a render that really changed between its hash and its copy is the photo's fault.
TEST_F(BatchRaces, ACopyTheDestinationNeverHeldBlamesTheDiskNotThePhoto) {
  using Spoiled = FaultyFileSystem::SpoiledMedium;
  const struct {
    const char* name;
    Spoiled medium;
  } cases[] = {
      {"a card that keeps only the first 64 KiB", Spoiled{65536, false}},
      {"a share that garbles every read", Spoiled{std::nullopt, true}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BatchRequest r = largePair();
    FaultyFileSystem disk;
    disk.spoiledMedium = [&](const std::string& path) -> std::optional<Spoiled> {
      if (path.find("/.quillmere-partial-") == std::string::npos) return std::nullopt;
      return c.medium;
    };
    std::optional<BatchFailureSite> site;
    BatchObserver observer;
    observer.failed = [&](const BatchFailureSite& where) { site = where; };
    EXPECT_EQ(failureOf([&] { createBatch(r, disk, &observer); }), kMediumMismatchMessage);
    EXPECT_TRUE(fs::is_empty(destination()));
    ASSERT_TRUE(site && site->storedFile);
    EXPECT_EQ(site->subject, BatchSubject::none);
    EXPECT_TRUE(site->storedFile->starts_with(destination() + "/Quillmere-")) << *site->storedFile;
    EXPECT_TRUE(site->storedFile->ends_with(".tif")) << *site->storedFile;
  }
}

}  // namespace
}  // namespace quillmere
