#include "transfer/create_batch.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "inspect/digest.h"
#include "inspect/image_info.h"
#include "support/failures.h"
#include "support/faulty_file_system.h"
#include "support/images.h"
#include "support/temp_dir.h"
#include "transfer/batch_folders.h"
#include "transfer/manifest.h"
#include "transfer/space_check.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using testing::failureOf;
using testing::FaultyFileSystem;
using testing::FsOp;
using testing::readFile;
using testing::snapshot;
using testing::TempDir;
using testing::writeFile;

class Batch : public testing::BatchFolders {
 protected:
  // n pairs of distinct renders (cycling through the three formats) and originals. With `padding`,
  // every render is a PNG followed by that many bytes, which inspection never reads, and every
  // original is as large: big enough for the batch to read two files side by side.
  BatchRequest request(int n, std::size_t padding = 0) {
    BatchRequest r{"CAPTURE_ONE", "catalog", destination(), {}};
    for (int i = 0; i < n; ++i) {
      const std::string index = std::to_string(i);
      std::string render;
      if (padding > 0) {
        render =
            input("r" + index + ".png", testing::pngImage(8, 6, i) + std::string(padding, 'p'));
        r.items.push_back({input("o" + index + ".iiq", std::string(padding, 'o') + index), render,
                           "photo/" + index, "v" + index});
        continue;
      }
      if (i % 3 == 0) render = input("r" + index + ".jpg", testing::jpegImage(8, 6, i));
      if (i % 3 == 1) render = input("r" + index + ".png", testing::pngImage(8, 6, i));
      if (i % 3 == 2) render = input("r" + index + ".tif", testing::tiffImage(8, 6, i));
      r.items.push_back({input("o" + index + ".iiq", "original " + index), render, "photo/" + index,
                         "v" + index});
    }
    return r;
  }

  std::map<std::string, std::string> everything() const { return snapshot(m_dir.path()); }
};

nlohmann::json manifestOf(const std::string& folder) {
  return nlohmann::json::parse(readFile(folder + "/" + kManifestFileName));
}

TEST_F(Batch, RefusesBadRequestsBeforeTouchingTheDisk) {
  const BatchRequest good = request(1);
  auto with = [&](auto change) {
    BatchRequest r = good;
    change(r);
    return r;
  };
  const struct {
    const char* name;
    BatchRequest request;
    const char* message;
  } cases[] = {
      {"provider in lower case", with([](auto& r) { r.provider = "capture_one"; }),
       kBatchSizeMessage},
      {"unknown provider", with([](auto& r) { r.provider = "DARKTABLE"; }), kBatchSizeMessage},
      {"empty catalog", with([](auto& r) { r.catalogId = ""; }), kBatchSizeMessage},
      {"no pairs", with([](auto& r) { r.items.clear(); }), kBatchSizeMessage},
      {"501 pairs", with([](auto& r) { r.items.assign(501, r.items[0]); }), kBatchSizeMessage},
      {"missing destination", with([&](auto& r) { r.destination = m_dir / "nowhere"; }),
       kChooseFolderAgainMessage},
      {"destination is a file", with([&](auto& r) { r.destination = r.items[0].renderPath; }),
       kChooseFolderAgainMessage},
      {"destination below a file",
       with([&](auto& r) { r.destination = r.items[0].renderPath + "/x"; }),
       kChooseFolderAgainMessage},
  };
  const auto before = everything();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(failureOf([&] { createBatch(c.request); }), c.message);
    EXPECT_EQ(everything(), before);
  }
}

// Saving into an earlier batch would leave a folder its manifest does not name, and that batch
// would no longer verify: such a destination, or one anywhere inside it, is refused, by the path as
// given and by the path a link leads to.
TEST_F(Batch, ADestinationThatIsOrLiesInABatchFolderIsRefusedNamingIt) {
  const std::string earlier = *createBatch(request(1)).directory;
  fs::create_directories(earlier + "/sub/deeper");
  fs::create_directory_symlink(earlier, m_dir / "link-to-batch");
  const std::string staging = destination() + "/.quillmere-partial-0d6c";
  fs::create_directory(staging);
  // Renamed by the user, it is still a batch: told by its manifest, not its name. A batch being
  // made is told by its owner record the same way.
  const std::string renamed = destination() + "/Wedding-2024";
  fs::rename(*createBatch(request(1)).directory, renamed);
  const std::string beingMade = destination() + "/renamed-staging";
  fs::create_directory(beingMade);
  writeFile(beingMade + "/.quillmere-staging-owner", "quillmere staging owner 1\n");
  const struct {
    const char* name;
    std::string destination;
    std::string batch;
  } cases[] = {
      {"the batch folder", earlier, earlier},
      {"the batch folder with a trailing slash", earlier + "/", earlier},
      {"a folder inside it", earlier + "/sub/deeper", earlier},
      {"a link to it", m_dir / "link-to-batch", earlier},
      {"a folder inside it through the link", m_dir / "link-to-batch/sub", earlier},
      {"the hidden folder of a batch being made", staging, staging},
      {"a batch renamed", renamed, renamed},
      {"a folder inside a batch renamed", renamed + "/sub", renamed},
      {"a batch being made, renamed", beingMade, beingMade},
  };
  fs::create_directory(renamed + "/sub");
  const auto before = everything();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BatchRequest r = request(1);
    r.destination = c.destination;
    const std::string failure = failureOf([&] { createBatch(r); });
    EXPECT_EQ(failure, insideBatchMessage(c.batch));
    EXPECT_NE(failure.find("“" + destination() + "”"), std::string::npos) << failure;
    EXPECT_EQ(everything(), before);
  }
}

// Mounted elsewhere, an earlier batch is still a batch: what it holds says so.
TEST_F(Batch, AnEarlierBatchMountedElsewhereIsRefused) {
  if (::geteuid() != 0 || ::unshare(CLONE_NEWNS) != 0) GTEST_SKIP() << "mounting needs root";
  ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
  const std::string earlier = *createBatch(request(1)).directory;
  const std::string mounted = m_dir / "mounted";
  fs::create_directory(mounted);
  ASSERT_EQ(::mount(earlier.c_str(), mounted.c_str(), nullptr, MS_BIND, nullptr), 0);
  fs::create_directory(mounted + "/sub");
  const auto before = everything();
  for (const std::string& into : {mounted, mounted + "/sub"}) {
    BatchRequest r = request(1);
    r.destination = into;
    EXPECT_EQ(failureOf([&] { createBatch(r); }), insideBatchMessage(mounted)) << into;
  }
  EXPECT_EQ(everything(), before);
  ::umount2(mounted.c_str(), MNT_DETACH);
}

TEST_F(Batch, AFolderMerelyNamedLikeABatchIsAnOrdinaryDestination) {
  const std::string named = destination() + "/Quillmere-exports";
  fs::create_directory(named);
  BatchRequest r = request(1);
  r.destination = named;
  const BatchResult result = createBatch(r);
  ASSERT_TRUE(result.directory);
  EXPECT_EQ(fs::path(*result.directory).parent_path(), named);
}

// A file system that says how much room it has left.
class RoomFor : public FaultyFileSystem {
 public:
  explicit RoomFor(std::optional<std::uint64_t> bytes) : m_bytes(bytes) {}
  std::optional<std::uint64_t> freeSpace(OpenFile&) override { return m_bytes; }

 private:
  std::optional<std::uint64_t> m_bytes;
};

TEST_F(Batch, TooLittleRoomIsRefusedBeforeAnythingIsWrittenAndBlamesNoPhoto) {
  const BatchRequest r = request(3, 100'000);
  const std::uint64_t needed = bytesToWrite(r, posixFileSystem());
  // Every render once, the manifest and a margin: more than the renders, by less than 2 MB.
  EXPECT_GT(needed, 3u * 100'000);
  EXPECT_LT(needed, 3u * 100'000 + 2'000'000);
  const auto before = everything();
  for (const std::uint64_t room : {std::uint64_t{0}, needed - 1}) {
    SCOPED_TRACE(room);
    RoomFor disk(room);
    std::vector<BatchFailureSite> heard;
    BatchObserver observer{{}, {}, [&](const BatchFailureSite& site) { heard.push_back(site); }};
    EXPECT_EQ(failureOf([&] { createBatch(r, disk, &observer); }),
              notEnoughSpaceMessage(destination(), needed, room));
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_FALSE(heard[0].item);
    EXPECT_EQ(everything(), before);
  }
  for (const auto room : {std::optional<std::uint64_t>(needed), std::optional<std::uint64_t>()}) {
    RoomFor disk(room);
    EXPECT_EQ(createBatch(r, disk).count, 3);
  }
}

// The manifest grows with every item, and its share is asked for too. Renders of whole blocks
// take the same room however the check rounds them, so a disk with room for a one-item batch and
// every further render, but for none of the further items' lines in the manifest, is too small.
TEST_F(Batch, TheRoomABatchNeedsGrowsWithItsManifest) {
  constexpr std::size_t kRender = 2 * 4096;
  constexpr int kItems = 40;
  // Short identifiers, and the longest kind: long and made of characters JSON escapes.
  for (const std::string& tail : {std::string(), std::string(3000, '\x01')}) {
    SCOPED_TRACE(tail.size());
    auto batchOf = [&](int n) {
      BatchRequest r{"CAPTURE_ONE", "catalog", destination(), {}};
      for (int i = 0; i < n; ++i) {
        const std::string index = std::to_string(i);
        std::string render = testing::pngImage(2, 2, i);
        render.resize(kRender, '\0');
        r.items.push_back({input("o" + index + ".iiq", "original " + index),
                           input("r" + index + ".png", render), "photo/" + index + tail,
                           "v" + index + tail});
      }
      return r;
    };
    const BatchRequest one = batchOf(1);
    const BatchRequest many = batchOf(kItems);
    const std::uint64_t furtherRenders = (kItems - 1) * kRender;
    const std::uint64_t room = bytesToWrite(one, posixFileSystem()) + furtherRenders;
    const auto before = everything();
    RoomFor disk(room);
    EXPECT_EQ(failureOf([&] { createBatch(many, disk); }),
              notEnoughSpaceMessage(destination(), bytesToWrite(many, posixFileSystem()), room));
    EXPECT_EQ(everything(), before);

    // What is asked for beyond the further renders covers what the manifest really grows by.
    auto manifestSize = [&](const BatchRequest& r) {
      return fs::file_size(*createBatch(r).directory + "/" + kManifestFileName);
    };
    const std::uint64_t growth = manifestSize(many) - manifestSize(one);
    EXPECT_GT(growth, (kItems - 1) * 100u);
    EXPECT_GE(bytesToWrite(many, posixFileSystem()) - room, growth);
    for (const auto& e : fs::directory_iterator(destination())) fs::remove_all(e.path());
  }
}

TEST(SpaceCheck, SizesReadAsAUserReadsThemNeverShowingAShortfallAsEqual) {
  const struct {
    std::uint64_t bytes;
    bool roundUp;
    const char* text;
  } cases[] = {
      {0, true, "0.0 MB"},
      {1, true, "0.1 MB"},
      {1, false, "0.0 MB"},
      {412'345'678, true, "412.4 MB"},
      {412'345'678, false, "412.3 MB"},
      {999'999'999, false, "999.9 MB"},
      {1'000'000'000, false, "1.0 GB"},
      {6'480'000'001, true, "6.5 GB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(sizeText(c.bytes, c.roundUp), c.text);
  }
  EXPECT_EQ(notEnoughSpaceMessage("/media/card/out", 412'345'678, 98'100'000),
            "保存文件夹“/media/card/out”所在的磁盘空间不足：本次保存需要约 412.4 MB，只剩 98.1 MB。"
            "没有写入任何文件；请腾出空间或换一个保存文件夹。");
}

TEST_F(Batch, CommitsACompleteFolderUnderAStandardisedPath) {
  BatchRequest r = request(3);
  r.destination = m_dir.path() + "/in/../out/./";
  const BatchResult result = createBatch(r);

  ASSERT_TRUE(result.directory);
  EXPECT_EQ(result.count, 3);
  EXPECT_FALSE(result.error);
  const std::regex name(
      "Quillmere-[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  EXPECT_EQ(fs::path(*result.directory).parent_path(), destination());
  EXPECT_TRUE(std::regex_match(fs::path(*result.directory).filename().string(), name));

  std::vector<std::string> entries;
  for (const auto& e : fs::directory_iterator(destination())) entries.push_back(e.path().string());
  EXPECT_EQ(entries, std::vector<std::string>{*result.directory});

  const auto manifest = manifestOf(*result.directory);
  EXPECT_EQ(manifest["transferBatchId"],
            fs::path(*result.directory).filename().string().substr(10));
  ASSERT_EQ(manifest["items"].size(), 3u);
  std::set<std::string> files = {kManifestFileName};
  for (std::size_t i = 0; i < 3; ++i) {
    const auto& item = manifest["items"][i];
    const std::string stored = *result.directory + "/" + item["renderFilename"].get<std::string>();
    // Every render is there, byte for byte, and the digests in the manifest are its own.
    EXPECT_EQ(readFile(stored), readFile(r.items[i].renderPath));
    EXPECT_EQ(item["renderSha256"], sha256(stored));
    EXPECT_EQ(item["sourceSha256"], sha256(r.items[i].sourcePath));
    EXPECT_EQ(item["externalPhotoId"], r.items[i].externalPhotoId);
    files.insert(item["renderFilename"].get<std::string>());
  }
  std::set<std::string> present;
  for (const auto& e : fs::directory_iterator(*result.directory))
    present.insert(e.path().filename());
  EXPECT_EQ(present, files);
}

TEST_F(Batch, ManifestCarriesTheDerivedIdentifiers) {
  BatchRequest r = request(1);
  // The render is an 8 x 6 black PNG, byte for byte, so that its digest and renderId are known
  // answers like the other identifiers. All were computed apart from the code; this prints them in
  // the order they are checked (one line; the breaks here stand for single spaces):
  //   python3 -c "import hashlib, uuid; d = lambda b: hashlib.sha256(b).hexdigest(); s = lambda b:
  //   str(uuid.UUID(bytes=bytes(x & 0x0F | 0x50 if i == 6 else x & 0x3F | 0x80 if i == 8 else x
  //   for i, x in enumerate(hashlib.sha256(b).digest()[:16])))); f = d(b'CAPTURE_ONE\ncatalog'); r
  //   = d(b'\211PNG\015\012\032\012\000\000\000\015IHDR\000\000\000\010\000\000\000\006\010'
  //   b'\000\000\000\000\333n\200\047\000\000\000\014IDATx\332c\140 \007\000\000\0006\000\001'
  //   b'\210\211j\201\000\000\000\000IEND\256B\140\202'); o = d(b'original 0'); print(f, r,
  //   s(r.encode()), o, s(b'CAPTURE_ONE' + f.encode() + b'v0' + o.encode()), sep='\n')"
  static constexpr char kRender[] =
      "\211PNG\015\012\032\012\000\000\000\015IHDR\000\000\000\010\000\000\000\006\010"
      "\000\000\000\000\333n\200\047\000\000\000\014IDATx\332c\140 \007\000\000\0006\000\001"
      "\210\211j\201\000\000\000\000IEND\256B\140\202";
  r.items[0].renderPath = input("r0.png", std::string(kRender, sizeof kRender - 1));
  const BatchResult result = createBatch(r);
  const auto manifest = manifestOf(*result.directory);
  const auto& item = manifest["items"][0];
  const std::string fingerprint =
      "1d29f7d73e506de1a02bbf39bad1097294479ac24fcc2c7fd874f7c37e7f68b1";
  EXPECT_EQ(manifest["catalogFingerprint"], fingerprint);
  EXPECT_EQ(manifest["provider"], "CAPTURE_ONE");
  EXPECT_EQ(manifest["schemaVersion"], 3);
  EXPECT_TRUE(std::regex_match(manifest["issuedAt"].get<std::string>(),
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
  EXPECT_EQ(item.size(), 11u);
  EXPECT_EQ(item["mediaFormat"], "PNG");
  EXPECT_EQ(item["width"], 8);
  EXPECT_EQ(item["height"], 6);
  EXPECT_EQ(item["bitDepth"], 8);
  EXPECT_EQ(item["renderSha256"],
            "b807ddbfe4c58e13ebc933ead6dc591dd543d23ef8a080a4eb1693480768a718");
  EXPECT_EQ(item["renderId"], "755bc0f1-533b-59a6-96e0-1d2366a35995");
  EXPECT_EQ(item["sourceSha256"],
            "15b12239dd66f813134d0d466832754be262ed2514b147af8a1f87b9f9c1a4bc");
  EXPECT_EQ(item["variantId"], "0af17f07-19f9-552d-97c5-7cf69bf6c46a");
  EXPECT_EQ(item["renderId"], stableUUID(item["renderSha256"].get<std::string>()));
  EXPECT_EQ(item["variantId"], stableUUID("CAPTURE_ONE" + fingerprint + "v0" +
                                          item["sourceSha256"].get<std::string>()));
  // The manifest names no path, size or catalog identifier.
  EXPECT_EQ(readFile(*result.directory + "/" + kManifestFileName).find(m_dir.path()),
            std::string::npos);
}

TEST_F(Batch, StoredExtensionFollowsTheDetectedFormat) {
  BatchRequest r{"LIGHTROOM_CLASSIC", " ", destination(), {}};
  const std::string original = input("o", "x");
  r.items = {{original, input("png-named.jpg", testing::pngImage(4, 4)), "p", "v"},
             {original, input("tiff.tiff", testing::tiffImage(4, 4)), "p", "v"},
             {original, input("jpeg.jpeg", testing::jpegImage(4, 4)), "p", "v"},
             {original, input("noextension", testing::jpegImage(4, 4)), "p", "v"}};
  const auto manifest = manifestOf(*createBatch(r).directory);
  const char* expected[] = {".png", ".tif", ".jpg", ".jpg"};
  for (int i = 0; i < 4; ++i) {
    const std::string file = manifest["items"][i]["renderFilename"];
    EXPECT_EQ(file.size(), 40u);
    EXPECT_EQ(file.substr(36), expected[i]);
  }
}

TEST_F(Batch, TheSameRenderTwiceIsStoredTwiceWithOneRenderId) {
  BatchRequest r = request(1);
  r.items.push_back(r.items[0]);
  const auto manifest = manifestOf(*createBatch(r).directory);
  const auto& a = manifest["items"][0];
  const auto& b = manifest["items"][1];
  EXPECT_EQ(a["renderId"], b["renderId"]);
  EXPECT_EQ(a["renderSha256"], b["renderSha256"]);
  EXPECT_EQ(a["variantId"], b["variantId"]);
  EXPECT_NE(a["renderFilename"], b["renderFilename"]);
}

TEST_F(Batch, TheSameRequestTwiceGivesEqualStableIdsInNewFolders) {
  const BatchRequest r = request(2);
  const BatchResult first = createBatch(r);
  const auto before = snapshot(*first.directory);
  const BatchResult second = createBatch(r);
  EXPECT_NE(first.directory, second.directory);
  EXPECT_EQ(snapshot(*first.directory), before);
  const auto a = manifestOf(*first.directory);
  const auto b = manifestOf(*second.directory);
  EXPECT_EQ(a["catalogFingerprint"], b["catalogFingerprint"]);
  EXPECT_NE(a["transferBatchId"], b["transferBatchId"]);
  for (int i = 0; i < 2; ++i) {
    for (const char* key : {"variantId", "renderId", "renderSha256", "sourceSha256"}) {
      EXPECT_EQ(a["items"][i][key], b["items"][i][key]) << key;
    }
    EXPECT_NE(a["items"][i]["renderFilename"], b["items"][i]["renderFilename"]);
  }
}

TEST_F(Batch, ARefusedPairRollsBackEverythingStagedBeforeIt) {
  BatchRequest r = request(5);
  const auto before = everything();
  const struct {
    const char* name;
    std::function<void(Pair&)> spoil;
    const char* message;
  } cases[] = {
      {"empty variant id", [](Pair& p) { p.externalVariantId = ""; }, kPairingMissingMessage},
      {"empty photo id", [](Pair& p) { p.externalPhotoId = ""; }, kPairingMissingMessage},
      {"render is not an image", [&](Pair& p) { p.renderPath = p.sourcePath; },
       kNotAnAcceptedImageMessage},
      {"original is a folder", [&](Pair& p) { p.sourcePath = m_dir / "in"; },
       "照片不可读取、为空或大于 4 GB。"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BatchRequest spoiled = r;
    c.spoil(spoiled.items[2]);
    EXPECT_EQ(failureOf([&] { createBatch(spoiled); }), c.message);
    EXPECT_EQ(everything(), before);
  }
  // A missing original is the platform's error, passed on unchanged.
  BatchRequest missing = r;
  missing.items[2].sourcePath = m_dir / "in/gone.iiq";
  EXPECT_EQ(failureOf([&] { createBatch(missing); }),
            "无法检查“" + m_dir / "in/gone.iiq" + "”：没有那个文件或目录（ENOENT）");
  EXPECT_EQ(everything(), before);
}

TEST_F(Batch, RenderSizeLimitIs512MiBInclusive) {
  BatchRequest r = request(1);
  // Sparse renders: the limit is decided by the size alone, before any content is read. The
  // render of exactly 512 MiB passes the limit and is then refused as an image, because its
  // content is zeros; one byte more is refused by the limit itself.
  testing::makeSparseFile(r.items[0].renderPath, 536'870'912);
  EXPECT_EQ(failureOf([&] { createBatch(r); }), kNotAnAcceptedImageMessage);
  testing::makeSparseFile(r.items[0].renderPath, 536'870'913);
  EXPECT_EQ(failureOf([&] { createBatch(r); }), kRenderTooLargeMessage);
  // Originals are only bounded by admission.
  testing::makeSparseFile(r.items[0].sourcePath, 536'870'913);
  r.items[0].renderPath = input("small.png", testing::pngImage(2, 2));
  EXPECT_EQ(createBatch(r).count, 1);
}

TEST_F(Batch, FiveHundredPairsPass) {
  BatchRequest r = request(1);
  r.items.assign(500, r.items[0]);
  const BatchResult result = createBatch(r);
  EXPECT_EQ(result.count, 500);
  EXPECT_EQ(std::distance(fs::directory_iterator(*result.directory), fs::directory_iterator()),
            501);
}

// Changes a file at a chosen moment of the batch, as an export still being written would.
TEST_F(Batch, FilesThatChangeDuringTheBatchAreCaught) {
  auto appendTo = [](const std::string& path) { std::ofstream(path, std::ios::app) << 'X'; };
  auto isStaged = [](const std::string& path) {
    return path.find(".quillmere-partial-") != std::string::npos;  // as the file services see it
  };
  // What a hook remembers during one batch. Hooks run on whichever thread makes the call, and a
  // batch stages two pairs at once on two threads, each pair whole on one of them.
  struct Seen {
    int count = 0;
    std::string lastCopy;
    std::optional<std::thread::id> targetThread;
  };
  const struct {
    const char* name;
    // Called before every file operation (one at a time) with the pair under attack.
    std::function<void(FsOp, const std::string&, const Pair&, Seen&)> hook;
    const char* failure;
  } cases[] = {
      {"render changes after it was hashed, before its copy",
       [&](FsOp op, const std::string& path, const Pair& target, Seen& seen) {
         // The thread that opens the render stages its pair; its next new file is the copy.
         if (op == FsOp::openForReading && path == target.renderPath) {
           seen.targetThread = std::this_thread::get_id();
         }
         if (op == FsOp::createExclusiveAt && isStaged(path) &&
             seen.targetThread == std::this_thread::get_id()) {
           seen.targetThread.reset();
           appendTo(target.renderPath);
         }
       },
       kChangedDuringTransferMessage},
      // The render itself is as hashed, so the destination is what did not keep the bytes.
      {"staged copy differs from the hashed render",
       [&](FsOp op, const std::string& path, const Pair&, Seen& seen) {
         // The copy is read back only after it is complete: the first read of the second copy.
         if (op != FsOp::readAt || !isStaged(path) || path == seen.lastCopy) return;
         seen.lastCopy = path;
         if (++seen.count == 2) appendTo(path);
       },
       kMediumMismatchMessage},
      {"original changes between its two hashes",
       [&](FsOp op, const std::string& path, const Pair& target, Seen& seen) {
         if (op == FsOp::openForReading && path == target.sourcePath && ++seen.count == 2) {
           appendTo(path);
         }
       },
       kChangedDuringTransferMessage},
  };
  // Small files and large ones, on two threads; both must catch it.
  for (const std::size_t padding : {std::size_t{0}, std::size_t{5} << 20}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (padding ? ", large files" : ", small files"));
      const BatchRequest r = request(3, padding);  // fresh inputs for every case
      FaultyFileSystem spy;
      Seen seen;
      spy.before = [&](FsOp op, const std::string& path) { c.hook(op, path, r.items[1], seen); };
      EXPECT_EQ(failureOf([&] { createBatch(r, spy); }), c.failure);
      EXPECT_TRUE(fs::is_empty(destination()));
    }
  }
}

// Every single call into the file services is made to fail in turn. Each failure must leave the
// destination as it was and reach the caller unchanged.
TEST_F(Batch, EveryFailingFileOperationRollsBackAndPassesTheErrorOn) {
  const BatchRequest r = request(3);
  FaultyFileSystem counter;
  createBatch(r, counter);
  for (const auto& e : fs::directory_iterator(destination())) fs::remove_all(e.path());
  const auto before = everything();

  int injected = 0;
  for (const FsOp op : testing::kAllFsOps) {
    for (int k = 1; k <= counter.calls(op); ++k) {
      SCOPED_TRACE(std::string(testing::name(op)) + " #" + std::to_string(k));
      FaultyFileSystem faulty(op, k);
      const std::string failure = failureOf([&] { createBatch(r, faulty); });
      ASSERT_TRUE(faulty.fired());
      ++injected;
      if ((op == FsOp::openDirectory || op == FsOp::statusOfFile) && k == 1) {
        // The destination check turns any failure to open or examine the folder into its refusal.
        EXPECT_EQ(failure, kChooseFolderAgainMessage);
      } else if (op == FsOp::status && k == counter.calls(op)) {
        // The check just before the commit that the path still leads to the folder worked in.
        EXPECT_EQ(failure, kChooseFolderAgainMessage);
      } else if (op == FsOp::tryLock || op == FsOp::listEntries) {
        // Finding or locking what dead batches left (a batch lists and locks for nothing else):
        // the batch is saved all the same.
        EXPECT_EQ(failure, "no failure");
        for (const auto& e : fs::directory_iterator(destination())) fs::remove_all(e.path());
      } else if (op == FsOp::removeFileAt && (k == 1 || k == counter.calls(op))) {
        // Taking away the owner record that stands beside the staging folder while the folder
        // has none (once it has its own, and once the batch is committed): it names this
        // process, so a later save clears it; the batch is saved all the same.
        EXPECT_EQ(failure, "no failure");
        for (const auto& e : fs::directory_iterator(destination())) fs::remove_all(e.path());
      } else if ((op == FsOp::sync && k >= counter.calls(op) - 1) ||
                 (op == FsOp::openDirectory && k == counter.calls(op))) {
        // The last flushes, of the destination after the rename and then of its parent, and the
        // opening of that parent: the batch is saved and stays.
        EXPECT_EQ(failure, "no failure");
        for (const auto& e : fs::directory_iterator(destination())) fs::remove_all(e.path());
      } else if (!((op == FsOp::readAt || op == FsOp::statusOfFile || op == FsOp::openForReading) &&
                   failure == kNotAnAcceptedImageMessage)) {
        // A render that cannot be opened or read for inspection is no acceptable image; every
        // other failure is passed on as the platform gave it.
        EXPECT_EQ(failure.rfind("无法对“", 0), 0u) << failure;
        EXPECT_NE(failure.find(std::string("”执行 injected ") + testing::name(op) + "："),
                  std::string::npos)
            << failure;
      }
      EXPECT_EQ(everything(), before);
    }
  }
  EXPECT_GT(injected, 40);
}

TEST_F(Batch, LargeFilesReadSideBySideGiveTheSameBatch) {
  const BatchRequest r = request(2, std::size_t{5} << 20);
  const BatchResult result = createBatch(r);
  const auto manifest = manifestOf(*result.directory);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(manifest["items"][i]["renderSha256"], sha256(r.items[i].renderPath));
    EXPECT_EQ(manifest["items"][i]["sourceSha256"], sha256(r.items[i].sourcePath));
  }
  // A failure in either of two reads running at once is the one passed on, and rolled back.
  for (const FsOp op : {FsOp::openForReading, FsOp::readAt}) {
    for (const int k : {1, 2, 5}) {
      SCOPED_TRACE(std::string(testing::name(op)) + " #" + std::to_string(k));
      const auto before = snapshot(destination());
      FaultyFileSystem faulty(op, k);
      const std::string failure = failureOf([&] { createBatch(r, faulty); });
      // A read of the render's headers that fails makes it no acceptable image; any other failed
      // read is passed on.
      if (failure != kNotAnAcceptedImageMessage) {
        EXPECT_NE(failure.find("执行 injected "), std::string::npos) << failure;
      }
      EXPECT_EQ(snapshot(destination()), before);
    }
  }
}

TEST_F(Batch, ConcurrentCallsEachCommitTheirOwnFolder) {
  const BatchRequest r = request(3);
  std::vector<std::future<BatchResult>> calls;
  for (int i = 0; i < 4; ++i)
    calls.push_back(std::async(std::launch::async, [&] { return createBatch(r); }));
  std::set<std::string> folders;
  for (auto& call : calls) folders.insert(*call.get().directory);
  EXPECT_EQ(folders.size(), 4u);
  for (const auto& folder : folders) EXPECT_EQ(manifestOf(folder)["items"].size(), 3u);
}

TEST_F(Batch, ObserverHearsProgressAndCanStopTheBatch) {
  const BatchRequest r = request(4);
  std::vector<BatchProgress> heard;
  BatchObserver observer{[&](const BatchProgress& p) { heard.push_back(p); }, {}, {}};
  createBatch(r, posixFileSystem(), &observer);
  ASSERT_FALSE(heard.empty());
  EXPECT_EQ(heard.front().phase, BatchPhase::preparing);
  EXPECT_EQ(heard.front().bytesDone, 0u);
  for (std::size_t i = 1; i < heard.size(); ++i) {
    EXPECT_GE(heard[i].bytesDone, heard[i - 1].bytesDone);
    EXPECT_GE(heard[i].item, heard[i - 1].item);
    EXPECT_GE(heard[i].phase, heard[i - 1].phase);
  }
  EXPECT_EQ(heard.back().phase, BatchPhase::finishing);
  EXPECT_EQ(heard.back().item, 3u);
  EXPECT_EQ(heard.back().itemCount, 4u);
  EXPECT_EQ(heard.back().bytesDone, heard.back().bytesTotal);
  for (const auto& e : fs::directory_iterator(destination())) fs::remove_all(e.path());

  std::stop_source stop;
  const auto before = everything();
  BatchObserver stopping{[&](const BatchProgress& p) {
                           if (p.item == 2) stop.request_stop();
                         },
                         stop.get_token(),
                         {}};
  EXPECT_EQ(failureOf([&] { createBatch(r, posixFileSystem(), &stopping); }), kBatchStoppedMessage);
  EXPECT_EQ(everything(), before);
}

}  // namespace
}  // namespace quillmere
