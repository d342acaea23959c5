// A copy's proof is read from the device, not from the memory that held what was written: past
// the page cache where the file system allows it, else through its dropped and re-read pages; and
// a batch leaves none of its copies in the user's page cache.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "inspect/digest.h"
#include "platform/file_system.h"
#include "support/faulty_file_system.h"
#include "support/images.h"
#include "support/page_cache.h"
#include "support/temp_dir.h"
#include "transfer/create_batch.h"
#include "transfer/medium_check.h"

namespace quillmere {
namespace {

namespace stdfs = std::filesystem;
using testing::FaultyFileSystem;
using testing::FsOp;
using Uncached = FaultyFileSystem::Uncached;

// A fresh folder under `base`, removed with everything in it at the end; none when `base` cannot
// hold one (a machine without /dev/shm).
class FolderUnder {
 public:
  explicit FolderUnder(const std::string& base) {
    std::string pattern = base + "/quillmere-read-back-XXXXXX";
    if (::mkdtemp(pattern.data())) m_path = pattern;
  }
  FolderUnder(const FolderUnder&) = delete;
  FolderUnder& operator=(const FolderUnder&) = delete;
  ~FolderUnder() {
    std::error_code ignored;
    if (!m_path.empty()) stdfs::remove_all(m_path, ignored);
  }
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
};

// A real disk (reads past the cache given) and tmpfs (refused at the open).
constexpr const char* kDiskBase = "/var/tmp";
constexpr const char* kMemoryBase = "/dev/shm";

std::string bytesOfSize(std::size_t size) {
  std::string bytes(size, '\0');
  std::uint32_t state = 2463534242u;
  for (char& byte : bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    byte = static_cast<char>(state);
  }
  return bytes;
}

// Whether files in `folder` can be read past the page cache at all.
bool readsPastTheCache(const std::string& folder) {
  OpenFile dir = posixFileSystem().openDirectoryToWorkIn(folder);
  OpenFile probe = posixFileSystem().createExclusiveAt(dir, "probe");
  const bool given = posixFileSystem().openUncached(probe).has_value();
  posixFileSystem().removeFileAt(dir, "probe");
  return given;
}

// Every size around a block and a read's end, on each way a file system answers reads past its
// cache: the hash is of exactly the bytes written, a medium that holds fewer or more bytes than
// claimed gives none, and one that gives other bytes back gives another hash.
TEST(MediumReadBack, AFlushedFileIsHashedAsTheMediumHoldsItWhateverItsSize) {
  const struct {
    const char* name;
    const char* base;
    Uncached uncached;
    bool pastTheCache;  // every read of the hash went to the device
  } ways[] = {
      {"a disk", kDiskBase, Uncached::asTheDisk, true},
      // Whatever the kernel answers: tmpfs accepts O_DIRECT since Linux 6.6, and its pages are
      // the file either way.
      {"tmpfs", kMemoryBase, Uncached::asTheDisk, false},
      {"a file system refusing the open", kDiskBase, Uncached::refusedAtOpen, false},
      {"a file system refusing the first read", kDiskBase, Uncached::refusedAtRead, false},
  };
  const std::size_t sizes[] = {0, 1, 511, 4095, 4096, 4097, 1 << 20, (1 << 20) + 1,
                               (3 << 20) + 1};
  for (const auto& way : ways) {
    SCOPED_TRACE(way.name);
    FolderUnder folder(way.base);
    if (folder.path().empty()) continue;
    if (way.pastTheCache && !readsPastTheCache(folder.path())) {
      ADD_FAILURE() << way.base << " reads only through its cache here; nothing reads past it";
      continue;
    }
    OpenFile dir = posixFileSystem().openDirectoryToWorkIn(folder.path());
    for (const std::size_t size : sizes) {
      SCOPED_TRACE(size);
      const std::string name = "file-" + std::to_string(size);
      const std::string bytes = bytesOfSize(size);
      FaultyFileSystem medium;
      medium.uncached = way.uncached;
      OpenFile file = medium.createExclusiveAt(dir, name);
      medium.writeAll(file, std::as_bytes(std::span(bytes.data(), bytes.size())));
      medium.sync(file);

      EXPECT_EQ(sha256FromMedium(file, medium, size), digest(bytes));
      EXPECT_EQ(sha256FromMedium(file, medium, size + 1), std::nullopt) << "holds less";
      if (size > 0) {
        EXPECT_EQ(sha256FromMedium(file, medium, size - 1), std::nullopt) << "holds more";
        medium.mediumDiffers = [](const std::string&) { return true; };
        const auto garbled = sha256FromMedium(file, medium, size);
        EXPECT_TRUE(garbled && *garbled != digest(bytes)) << "another byte came back";
      }
      if (way.base == kDiskBase) {
        EXPECT_EQ(medium.calls(FsOp::openUncached) > 0,
                  way.pastTheCache || way.uncached == Uncached::refusedAtRead);
      }
      if (way.pastTheCache) {
        EXPECT_EQ(testing::cachedBytes(folder.path() + "/" + name), 0u);
      }
    }
  }
}

// A batch on a real disk: the large copy's proof is read in several chunks, and while it is,
// nothing of the copy is in the page cache: a read through the cache would have brought the chunks
// before it in, so there the second read already finds pages. When the batch is saved none of its
// files is left in the cache either, on the disk as where its file system reads only through the
// cache (the second case, which also shows that the measure sees the cache at all).
TEST(MediumReadBack, ABatchReadsItsCopiesPastThePageCacheAndLeavesNoneCached) {
  FolderUnder folder(kDiskBase);
  ASSERT_FALSE(folder.path().empty());
  if (!readsPastTheCache(folder.path())) {
    GTEST_SKIP() << kDiskBase << " reads only through its cache here";
  }
  const std::string in = folder.path() + "/in";
  const std::string out = folder.path() + "/out";
  stdfs::create_directories(in);
  stdfs::create_directories(out);
  BatchRequest request{"CAPTURE_ONE", "catalog", out, {}};
  const auto input = [&](const std::string& name, const std::string& bytes) {
    testing::writeFile(in + "/" + name, bytes);
    return in + "/" + name;
  };
  // A copy of several chunks, and small ones that are flushed in a group.
  const std::string large = testing::tiffImage(1400, 1000);
  ASSERT_GT(large.size(), 3u << 20);
  request.items.push_back({input("large.cr3", "large original"), input("large.tif", large),
                           "photo/large", "v"});
  for (int i = 0; i < 3; ++i) {
    const std::string n = std::to_string(i);
    request.items.push_back({input(n + ".cr3", "original " + n),
                             input(n + ".png", testing::pngImage(8, 8, i)), "photo/" + n, "v"});
  }

  const struct {
    const char* name;
    Uncached uncached;
    bool pastTheCache;
  } cases[] = {{"reads past the cache", Uncached::asTheDisk, true},
               {"reads through the cache", Uncached::refusedAtOpen, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FaultyFileSystem spy;
    spy.uncached = c.uncached;
    std::map<std::string, int> flushes;
    // Reads of the copy after its flush, in order, until one finds some of it cached.
    int readsFindingNothingCached = 0;
    bool foundCached = false;
    spy.before = [&](FsOp op, const std::string& path) {
      if (path.find("/.quillmere-partial-") == std::string::npos || !path.ends_with(".tif")) return;
      if (op == FsOp::sync) ++flushes[path];
      if (op != FsOp::readAt || flushes[path] == 0 || foundCached) return;
      if (testing::cachedBytes(path) == 0) {
        ++readsFindingNothingCached;
      } else {
        foundCached = true;
      }
    };
    const BatchResult saved = createBatch(request, spy);
    ASSERT_TRUE(saved.directory);
    if (c.pastTheCache) {
      EXPECT_GE(readsFindingNothingCached, 3);
      // The large copy and the manifest; the small copies are fetched ahead in their group.
      EXPECT_EQ(spy.calls(FsOp::openUncached), 2);
    } else {
      EXPECT_LE(readsFindingNothingCached, 1);
    }
    int files = 0;
    for (const auto& entry : stdfs::directory_iterator(*saved.directory)) {
      ++files;
      EXPECT_EQ(testing::cachedBytes(entry.path().string()), 0u) << entry.path();
    }
    EXPECT_EQ(files, static_cast<int>(request.items.size()) + 1);
  }
}

}  // namespace
}  // namespace quillmere
