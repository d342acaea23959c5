// A real full disk rather than an injected error: a small tmpfs, mounted for the test in a mount
// namespace of its own, filled so that the batch runs out of space while copying a render or
// while writing the manifest, and so that request mode cannot write its result file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/request_mode.h"
#include "platform/process_owner.h"
#include "records/json.h"
#include "reliability/reliability_support.h"
#include "support/temp_dir.h"
#include "support/faulty_file_system.h"
#include "transfer/create_batch.h"
#include "transfer/space_check.h"
#include "transfer/staging_owner.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::snapshot;
using testing::writeFile;

constexpr std::size_t kPage = 4096;
constexpr const char* kNoSpace = "磁盘空间不足（ENOSPC）";

// An 8 MiB tmpfs at `path`, unmounted again on destruction. Mounted inside a private mount
// namespace where the kernel allows one, so nothing outside this process ever sees it (and it
// disappears with the process even if the test dies); otherwise in the shared namespace.
class SmallDisk {
 public:
  // Answers the disk, or nothing with `reason` saying why mounting is not possible here.
  static std::unique_ptr<SmallDisk> mount(const std::string& path, std::string& reason,
                                          const char* options = "size=8m,mode=0755") {
    if (::geteuid() != 0) {
      reason = "mounting a tmpfs needs root";
      return nullptr;
    }
    if (::unshare(CLONE_NEWNS) == 0) {
      // Keep our mounts from propagating back into the namespace we came from.
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
    }
    if (::mount("tmpfs", path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options) != 0) {
      reason = std::string("cannot mount a tmpfs here: ") + std::strerror(errno);
      return nullptr;
    }
    return std::unique_ptr<SmallDisk>(new SmallDisk(path));
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;
  ~SmallDisk() { ::umount2(m_path.c_str(), MNT_DETACH); }

  // Fills the disk with one file so that exactly `pages` pages stay free.
  void leaveFree(std::size_t pages) {
    const std::string filler = m_path + "/filler";
    const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    const std::vector<char> page(kPage, 'f');
    off_t size = 0;
    while (::write(fd, page.data(), page.size()) == static_cast<ssize_t>(page.size()))
      size += kPage;
    ASSERT_EQ(::ftruncate(fd, size - static_cast<off_t>(pages * kPage)), 0);
    ::close(fd);
    struct statvfs info {};
    ASSERT_EQ(::statvfs(m_path.c_str(), &info), 0);
    ASSERT_EQ(info.f_bavail * info.f_frsize, pages * kPage);
  }

 private:
  explicit SmallDisk(std::string path) : m_path(std::move(path)) {}
  std::string m_path;
};

class FullDisk : public ::testing::Test {
 protected:
  virtual const char* diskOptions() const { return "size=8m,mode=0755"; }
  void SetUp() override {
    fs::create_directory(m_dir / "in");
    fs::create_directory(m_dir / "disk");
    std::string reason;
    m_disk = SmallDisk::mount(m_dir / "disk", reason, diskOptions());
    if (!m_disk) GTEST_SKIP() << reason;
  }
  void TearDown() override { m_disk.reset(); }

  testing::TempDir m_dir;
  std::unique_ptr<SmallDisk> m_disk;
};

TEST_F(FullDisk, RunningOutOfSpaceWhileCopyingOrWritingTheManifestLeavesTheDestinationAsItWas) {
  const std::string destination = m_dir / "disk/out";
  fs::create_directory(destination);
  BatchRequest request = testing::smallRequest(m_dir / "in", destination, 3);
  constexpr std::size_t kRenderPages = 24;
  for (std::size_t i = 0; i < request.items.size(); ++i) {
    writeFile(request.items[i].renderPath,
              testing::paddedPng(kRenderPages * kPage, static_cast<int>(i)));
  }
  const auto inputs = snapshot(m_dir / "in");
  // A file system that cannot tell its free space, so that the batch starts and meets the full
  // disk while writing: what another program filling the disk meanwhile would do to it.
  testing::FaultyFileSystem unknownSpace;

  // Free space grows a page at a time, from none to enough for the whole batch: the copies run
  // out first, then only the manifest, and at last the batch fits.
  bool failedCopying = false, failedOnTheManifest = false, succeeded = false;
  for (std::size_t free = 0; free <= 3 * kRenderPages + 8 && !succeeded; ++free) {
    SCOPED_TRACE(std::to_string(free) + " pages free");
    m_disk->leaveFree(free);
    BatchPhase phase = BatchPhase::preparing;
    std::vector<BatchFailureSite> heard;
    BatchObserver observer{[&](const BatchProgress& progress) { phase = progress.phase; }, {},
                           [&](const BatchFailureSite& site) { heard.push_back(site); }};
    try {
      const BatchResult result = createBatch(request, unknownSpace, &observer);
      succeeded = true;
      EXPECT_EQ(testing::incompleteBatch(*result.directory, request.items.size()), "");
    } catch (const std::exception& error) {
      const std::string text = describe(error);
      // Named by the folder the user chose, never a hidden name or a file that is gone.
      EXPECT_EQ(text, "无法写入“" + destination + "”：" + kNoSpace);
      // The disk is full, no photo is at fault.
      ASSERT_EQ(heard.size(), 1u);
      EXPECT_FALSE(heard[0].item);
      EXPECT_FALSE(heard[0].storedFile);
      if (phase == BatchPhase::finishing) {
        failedOnTheManifest = true;
      } else {
        failedCopying = true;
      }
      ASSERT_TRUE(fs::is_empty(destination));
    }
    EXPECT_EQ(snapshot(m_dir / "in"), inputs);
  }
  EXPECT_TRUE(failedCopying);
  EXPECT_TRUE(failedOnTheManifest);
  EXPECT_TRUE(succeeded);
}

// 65 renders into a disk with room for a quarter of them used to fail at the end, blaming a
// healthy photo. The shortfall is said before anything is written, with both sizes.
TEST_F(FullDisk, TooLittleRoomIsRefusedBeforeAnythingIsWrittenGivingBothSizes) {
  const std::string destination = m_dir / "disk/out";
  fs::create_directory(destination);
  BatchRequest request = testing::smallRequest(m_dir / "in", destination, 4);
  for (std::size_t i = 0; i < request.items.size(); ++i) {
    writeFile(request.items[i].renderPath, testing::paddedPng(400 * kPage, static_cast<int>(i)));
  }
  const std::uint64_t needed = bytesToWrite(request, posixFileSystem());
  m_disk->leaveFree(needed / kPage / 4);
  std::vector<BatchFailureSite> heard;
  BatchObserver observer{{}, {}, [&](const BatchFailureSite& site) { heard.push_back(site); }};
  try {
    createBatch(request, posixFileSystem(), &observer);
    ADD_FAILURE() << "saved into a disk too small";
  } catch (const std::exception& error) {
    EXPECT_EQ(describe(error), notEnoughSpaceMessage(destination, needed, needed / kPage / 4 * kPage));
    EXPECT_NE(describe(error).find(" MB，只剩 "), std::string::npos) << describe(error);
  }
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_FALSE(heard[0].item);
  EXPECT_TRUE(fs::is_empty(destination));
  // With the room it needs, the same batch is saved.
  m_disk->leaveFree(needed / kPage + 1);
  EXPECT_EQ(testing::incompleteBatch(*createBatch(request).directory, request.items.size()), "");
}

// A dead batch's staging used to hold its room for ever: only a save that passed the room check
// cleared it, and the refusal pointed at nothing the user could see. What can be removed now goes
// before the room is counted; what may not be (another machine's) is named in the refusal with
// the room it holds.
TEST_F(FullDisk, RoomHeldByLeftoverStagingIsFreedFirstOrNamed) {
  const std::string destination = m_dir / "disk/out";
  fs::create_directory(destination);
  BatchRequest request = testing::smallRequest(m_dir / "in", destination, 2);
  for (std::size_t i = 0; i < request.items.size(); ++i) {
    writeFile(request.items[i].renderPath, testing::paddedPng(300 * kPage, static_cast<int>(i)));
  }
  // Two renders of 300 pages, the manifest and the margin: 600 pages and a little over 1 MiB.
  const std::size_t neededPages = 600 + 256 + 2;
  ProcessOwner owner = thisProcessOwner().value();
  owner.boot = "00000000-0000-4000-8000-000000000000";  // a boot that has ended
  const auto leave = [&](const std::string& name, const ProcessOwner& who) {
    fs::create_directory(destination + "/" + name);
    writeFile(destination + "/" + name + "/5d0c1a2b-3c4d-4e5f-8a9b-0c1d2e3f4a5b.tif",
              std::string(500 * kPage, 'c'));
    writeFile(destination + "/" + name + "/.quillmere-staging-owner", encodeOwnerRecord(who));
  };
  const std::string dead = ".quillmere-partial-0b6c3f4e-dead-4000-8000-000000000001";
  leave(dead, owner);
  // Room for the batch only once the dead batch's 500 pages are free again.
  m_disk->leaveFree(neededPages - 400);
  const BatchResult saved = createBatch(request);
  ASSERT_TRUE(saved.directory);
  EXPECT_FALSE(fs::exists(destination + "/" + dead));
  fs::remove_all(*saved.directory);

  const std::string foreign = ".quillmere-partial-0b6c3f4e-0002-4000-8000-000000000002";
  owner.machine = "0123456789abcdef0123456789abcdef";
  leave(foreign, owner);
  m_disk->leaveFree(neededPages - 400);
  const std::string failure = testing::failureOf([&] { createBatch(request); });
  // 500 pages and the record's page: 2,052,096 bytes.
  EXPECT_NE(failure.find("其中 1 个以“.quillmere-partial-”开头的隐藏文件夹（“" + foreign +
                         "”）占用约 2.0 MB"),
            std::string::npos)
      << failure;
  EXPECT_TRUE(failure.starts_with("保存文件夹“" + destination + "”所在的磁盘空间不足")) << failure;
  EXPECT_EQ(testing::namesIn(destination), std::vector<std::string>{foreign});
}

TEST_F(FullDisk, AResultFileThatDoesNotFitAnswersTwoAndKeepsTheEarlierResult) {
  const std::string caller = m_dir / "disk/caller";
  fs::create_directory(caller);
  fs::create_directory(m_dir / "out");
  const BatchRequest request = testing::smallRequest(m_dir / "in", m_dir / "out", 2);
  writeFile(m_dir / "in/request.json", toJson(request));
  const std::string earlier = R"({"count":0,"error":"an earlier failure"})";
  writeFile(caller + "/result.json", earlier);
  m_disk->leaveFree(0);

  const std::string capture = m_dir / "stderr.txt";
  int status = 0;
  {
    testing::StderrToFile redirect(capture);
    status = runRequestMode(m_dir / "in/request.json", caller + "/result.json");
  }
  EXPECT_EQ(status, 2);
  EXPECT_EQ(readFile(capture), "无法保存导出结果。\n");
  EXPECT_EQ(readFile(caller + "/result.json"), earlier);
  EXPECT_EQ(testing::namesIn(caller), std::vector<std::string>{"result.json"});
  // The batch itself had room and was saved whole.
  EXPECT_EQ(testing::incompleteBatchesIn(m_dir / "out", request.items.size()), "");
}

// A file system out of file entries (inodes) with space to spare answers ENOSPC too. Told as
// "disk full", the photographer would free space that is already free; the message says what is
// really exhausted.
class FewFileEntries : public FullDisk {
 protected:
  const char* diskOptions() const override { return "size=8m,nr_inodes=32,mode=0755"; }
};

TEST_F(FewFileEntries, RunningOutOfFileEntriesIsNotCalledAFullDisk) {
  const std::string destination = m_dir / "disk/out";
  fs::create_directory(destination);
  const BatchRequest request = testing::smallRequest(m_dir / "in", destination, 1);
  for (int i = 0;; ++i) {
    const std::string path = m_dir / ("disk/entry" + std::to_string(i));
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      ASSERT_EQ(errno, ENOSPC);
      break;
    }
    ::close(fd);
  }
  struct statvfs info {};
  ASSERT_EQ(::statvfs(destination.c_str(), &info), 0);
  ASSERT_GT(info.f_bavail, 0u);
  try {
    createBatch(request);
    ADD_FAILURE() << "saved on a file system with no file entries left";
  } catch (const std::exception& error) {
    const std::string text = describe(error);
    EXPECT_NE(text.find("文件数已满"), std::string::npos) << text;
    EXPECT_FALSE(text.ends_with(kNoSpace)) << text;
  }
  EXPECT_TRUE(fs::is_empty(destination));
}

}  // namespace
}  // namespace quillmere
