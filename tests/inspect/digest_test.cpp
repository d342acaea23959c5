#include "inspect/digest.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <numeric>
#include <string>
#include <system_error>
#include <vector>

#include "records/records.h"
#include "support/faulty_file_system.h"
#include "support/temp_dir.h"

namespace quillmere {
namespace {

using testing::FaultyFileSystem;
using testing::FsOp;
using testing::TempDir;

// Deterministic content whose digests were computed independently of this code.
std::string content(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>((i * 131 + (i >> 8) * 7) & 0xFF);
  return bytes;
}

std::size_t openDescriptorCount() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    ++count;
  return count;
}

struct TextCase {
  const char* name;
  std::string text;
  const char* digest;
  const char* uuid;
};

const TextCase kTextCases[] = {
    {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
     "e3b0c442-98fc-5c14-9afb-f4c8996fb924"},
    {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
     "ba7816bf-8f01-5fea-8141-40de5dae2223"},
    {"trailing line feed", "abc\n",
     "edeaaff3f1774ad2888673770c6d64097e391bc362d7d6fb34982ddf0efd18cb",
     "edeaaff3-f177-5ad2-8886-73770c6d6409"},
    {"precomposed e-acute", "\xC3\xA9",
     "4a99557e4033c3539de2eb65472017cad5f9557f7a0625a09f1c3f6e2ba69c4c",
     "4a99557e-4033-5353-9de2-eb65472017ca"},
    {"e with combining acute", "e\xCC\x81",
     "bf12767b0f2a56b2190075bae8169f656e3ce8d6357d4aff184bc6c7ea48f9f6",
     "bf12767b-0f2a-56b2-9900-75bae8169f65"},
};

TEST(DigestTest, TextsHashTheirBytesAsHeld) {
  for (const TextCase& c : kTextCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(digest(c.text), c.digest);
    EXPECT_EQ(stableUUID(c.text), c.uuid);
  }
}

TEST(DigestTest, StableIdentifiersHaveTheVersionAndVariantOfVersion5) {
  const std::string texts[] = {"",
                               "a",
                               "CAPTURE_ONE",
                               "quillmere-manual-capture-one-v1",
                               std::string(1000, 'x'),
                               std::string("\0\xFF", 2)};
  for (const std::string& text : texts) {
    SCOPED_TRACE(text.size());
    const std::string uuid = stableUUID(text);
    ASSERT_EQ(uuid.size(), 36u);
    for (std::size_t i = 0; i < uuid.size(); ++i) {
      if (i == 8 || i == 13 || i == 18 || i == 23) {
        EXPECT_EQ(uuid[i], '-');
      } else {
        EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(uuid[i])) ||
                    (uuid[i] >= 'a' && uuid[i] <= 'f'))
            << uuid;
      }
    }
    EXPECT_EQ(uuid[14], '5');
    EXPECT_NE(std::string("89ab").find(uuid[19]), std::string::npos) << uuid;
    // Bytes other than the version and variant ones come straight from the hash.
    const std::string hash = digest(text);
    EXPECT_EQ(uuid.substr(0, 8) + uuid.substr(9, 4), hash.substr(0, 12));
    EXPECT_EQ(uuid.substr(24), hash.substr(20, 12));
    EXPECT_EQ(stableUUID(text), uuid);
  }
}

struct Sha256Case {
  std::size_t size;
  const char* digest;
  int reads;  // 1 MiB reads until the empty one that ends the file
};

const Sha256Case kSha256Cases[] = {
    {0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", 1},
    {1, "6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d", 2},
    {1'048'575, "16f4cb4da9f91692fc42f6d8b9946f1954192c65ee83311faa837f8ffef004f9", 2},
    {1'048'576, "058d61bf2e123d1c81cbd1f530b33d607253969b3bc13556f3e8cc43d4b478f0", 2},
    {1'048'577, "9e96c216b20d5286b025daf2d09171ddc9de01165831dfba1d58ab548de9b149", 3},
    {2'097'152, "d74daab07a9ff61b526ac3e343b0392c459809e150f43a1e99bec2088a03e6fc", 3},
};

TEST(Sha256Test, StreamsFilesInMebibyteReadsWithTheSameValueAsOneShot) {
  TempDir dir;
  for (const Sha256Case& c : kSha256Cases) {
    SCOPED_TRACE(c.size);
    const std::string path = dir / ("file-" + std::to_string(c.size));
    const std::string bytes = content(c.size);
    testing::writeFile(path, bytes);
    FaultyFileSystem fs;
    EXPECT_EQ(sha256(path, fs), c.digest);
    EXPECT_EQ(digest(bytes), c.digest);
    EXPECT_EQ(fs.calls(FsOp::openForReading), 1);
    EXPECT_EQ(fs.calls(FsOp::read), c.reads);
  }
}

TEST(Sha256Test, FailuresArePlatformErrorsNamingThePath) {
  TempDir dir;
  const std::string missing = dir / "missing.jpg";
  try {
    sha256(missing);
    FAIL() << "a missing file was hashed";
  } catch (const BridgeFailure&) {
    FAIL() << "a missing file must give the platform's error, not a refusal";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), ENOENT);
    EXPECT_NE(std::string(error.what()).find(missing), std::string::npos) << error.what();
  }

  // A FIFO swapped in at the path must neither block the open nor be read.
  const std::string fifo = dir / "fifo.jpg";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_THROW(sha256(fifo), std::system_error);

  EXPECT_THROW(sha256(dir.path()), std::system_error);
}

TEST(Sha256Test, AFailedReadIsPassedOnAndTheFileIsClosed) {
  TempDir dir;
  const std::string path = dir / "original.tif";
  testing::writeFile(path, content(2'097'152));
  const std::size_t descriptorsBefore = openDescriptorCount();
  FaultyFileSystem fs(FsOp::read, 2, EIO);
  try {
    sha256(path, fs);
    FAIL() << "the failed read was ignored";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), EIO);
    EXPECT_NE(std::string(error.what()).find(path), std::string::npos) << error.what();
  }
  EXPECT_TRUE(fs.fired());
  EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
}

// An open file is hashed by reads at offsets from its start: the file position is neither used nor
// moved, so one descriptor can be hashed twice, and each chunk is reported as it is hashed.
TEST(Sha256Test, HashesAnOpenFileFromItsStartChunkByChunk) {
  TempDir dir;
  for (const Sha256Case& c : kSha256Cases) {
    SCOPED_TRACE(c.size);
    const std::string path = dir / ("file-" + std::to_string(c.size));
    testing::writeFile(path, content(c.size));
    OpenFile file = posixFileSystem().openForReading(path);
    const off_t position = static_cast<off_t>(c.size / 2);
    ASSERT_EQ(::lseek(file.fd.get(), position, SEEK_SET), position);

    FaultyFileSystem fs;
    std::vector<std::size_t> chunks;
    EXPECT_EQ(sha256(file, fs, [&](std::size_t bytes) { chunks.push_back(bytes); }), c.digest);
    EXPECT_EQ(std::accumulate(chunks.begin(), chunks.end(), std::size_t{0}), c.size);
    EXPECT_EQ(chunks.size(), static_cast<std::size_t>(c.reads - 1));
    EXPECT_EQ(fs.calls(FsOp::readAt), c.reads);
    EXPECT_EQ(fs.calls(FsOp::read) + fs.calls(FsOp::openForReading), 0);
    EXPECT_EQ(::lseek(file.fd.get(), 0, SEEK_CUR), position);

    EXPECT_EQ(sha256(file, fs), c.digest);
    EXPECT_EQ(sha256(path), c.digest);
  }
}

TEST(Sha256Test, AnOpenFileStopsHashingAtWhatTheCallbackOrTheFileSystemThrows) {
  TempDir dir;
  const std::string path = dir / "original.tif";
  testing::writeFile(path, content(3 << 20));
  OpenFile file = posixFileSystem().openForReading(path);

  struct Stop {};
  FaultyFileSystem counting;
  int chunks = 0;
  EXPECT_THROW(sha256(file, counting,
                      [&](std::size_t) {
                        if (++chunks == 2) throw Stop{};
                      }),
               Stop);
  EXPECT_EQ(counting.calls(FsOp::readAt), 2);

  FaultyFileSystem failing(FsOp::readAt, 2, EIO);
  try {
    sha256(file, failing);
    FAIL() << "the failed read was ignored";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), EIO);
    EXPECT_NE(std::string(error.what()).find(path), std::string::npos) << error.what();
  }
}

// A file hashed to the size its open saw is that file only if it holds exactly that many bytes
// when read: cut short ahead of the reader, grown meanwhile, or simply of another size, it has
// changed, and no value is given that a caller could take for the file's.
TEST(Sha256Test, AFileOfAnotherSizeThanItsOpenSawHasNoHash) {
  constexpr std::size_t kMiB = 1 << 20;
  struct Case {
    const char* name;
    std::uint64_t said;  // the size the caller's open saw
    off_t cutTo = -1;    // truncated to this during the first chunk, when set
    bool grows = false;  // appended to during the first chunk
    bool hashes = false;
  };
  const Case cases[] = {
      {"as opened", 3 * kMiB + 5, -1, false, true},
      {"empty as opened", 0, -1, false, true},
      {"cut ahead of the reader", 3 * kMiB + 5, static_cast<off_t>(2 * kMiB), false, false},
      {"cut inside the chunk being read", 3 * kMiB + 5, static_cast<off_t>(3 * kMiB), false, false},
      {"grown while read", 3 * kMiB + 5, -1, true, false},
      {"larger than opened", 3 * kMiB, -1, false, false},
      {"smaller than opened", 4 * kMiB, -1, false, false},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir / "render.png";
    const std::string bytes = content(c.said == 0 ? 0 : 3 * kMiB + 5);
    testing::writeFile(path, bytes);
    OpenFile file = posixFileSystem().openForReading(path);
    FaultyFileSystem fs;
    int chunks = 0;
    const auto hash = sha256OfSize(file, fs, c.said, [&](std::size_t) {
      if (++chunks != 1) return;
      if (c.cutTo >= 0) {
        ASSERT_EQ(::truncate(path.c_str(), c.cutTo), 0);
      }
      if (c.grows) testing::appendFile(path, "more");
    });
    if (c.hashes) {
      EXPECT_EQ(hash, digest(bytes));
    } else {
      EXPECT_FALSE(hash.has_value()) << *hash;
    }
    // Never more reads than the size said and one to see that nothing follows.
    EXPECT_LE(fs.calls(FsOp::readAt), static_cast<int>((c.said + kMiB - 1) / kMiB) + 1);
  }
}

}  // namespace
}  // namespace quillmere
