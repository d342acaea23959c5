// What dead batches left in a destination is cleared by the next batch there, and only that. A
// folder goes only when it is provably a dead batch's staging of this machine: its exact name, an
// owner record naming a process that is gone, nothing mounted at or in it, and only files of the
// names a batch makes. Everything else named like staging stays whole, and the batch succeeds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "app/bridge_process.h"
#include "platform/process_owner.h"
#include "platform/unique_fd.h"
#include "records/json.h"
#include "reliability/reliability_support.h"
#include "support/temp_dir.h"
#include "transfer/create_batch.h"
#include "transfer/leftover_staging.h"
#include "transfer/staging_owner.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::writeFile;

constexpr const char* kDead = ".quillmere-partial-0b6c3f4e-dead-4000-8000-000000000001";
constexpr const char* kOther = ".quillmere-partial-0b6c3f4e-0002-4000-8000-000000000002";
constexpr const char* kCopy = "5d0c1a2b-3c4d-4e5f-8a9b-0c1d2e3f4a5b.png";

// A process of the test's that lives until the returned owner goes: a live batch elsewhere.
class LiveProcess {
 public:
  LiveProcess() {
    int fds[2];
    if (::pipe(fds) != 0) return;
    m_pid = ::fork();
    if (m_pid == 0) {
      ::close(fds[1]);
      char byte;
      while (::read(fds[0], &byte, 1) < 0 && errno == EINTR) {
      }
      ::_exit(0);
    }
    ::close(fds[0]);
    m_release = UniqueFd(fds[1]);
  }
  LiveProcess(const LiveProcess&) = delete;
  LiveProcess& operator=(const LiveProcess&) = delete;
  ~LiveProcess() { end(); }

  pid_t pid() const { return m_pid; }
  // Ends the process and reaps it, so that its id names no process any more.
  void end() {
    if (m_pid <= 0) return;
    m_release.reset();
    ::waitpid(m_pid, nullptr, 0);
    m_pid = -1;
  }

 private:
  pid_t m_pid = -1;
  UniqueFd m_release;
};

// Sets the modification time of `path` and everything in it `seconds` into the past.
void ageAll(const std::string& path, std::time_t seconds) {
  const struct timespec then[2] = {{0, UTIME_OMIT}, {std::time(nullptr) - seconds, 0}};
  std::vector<std::string> paths{path};
  if (fs::is_directory(path)) {
    for (const auto& entry : fs::directory_iterator(path)) paths.push_back(entry.path());
  }
  for (const auto& p : paths) ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), then, AT_SYMLINK_NOFOLLOW), 0);
}

// Owners as a record names them.
ProcessOwner thisOwner() {
  const auto owner = thisProcessOwner();
  EXPECT_TRUE(owner) << "this system does not tell a process's owner";
  return owner.value_or(ProcessOwner{});
}

ProcessOwner ownerOf(const LiveProcess& process) {
  ProcessOwner owner = thisOwner();
  owner.pid = process.pid();
  owner.startTime = processStartTime(process.pid()).value_or(0);
  return owner;
}

class LeftoverStaging : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* folder : {"in", "out", "elsewhere"}) fs::create_directory(m_dir / folder);
  }
  std::string destination() const { return m_dir / "out"; }
  std::string in(const std::string& name) const { return destination() + "/" + name; }

  // A staging folder as a batch killed mid-copy leaves it: a copy and its owner record.
  void leaveStaging(const std::string& name, const ProcessOwner& owner) {
    fs::create_directory(in(name));
    writeFile(in(name) + "/" + kCopy, std::string(1 << 16, 'c'));
    writeFile(in(name) + "/.quillmere-staging-owner", encodeOwnerRecord(owner));
  }

  // A dead batch's owner: this machine, a boot that has ended.
  static ProcessOwner earlierBoot() {
    ProcessOwner owner = thisOwner();
    owner.boot = "00000000-0000-4000-8000-000000000000";
    return owner;
  }

  // Names in the destination that are not batch folders.
  std::vector<std::string> othersIn() const {
    std::vector<std::string> others;
    for (const auto& name : testing::namesIn(destination())) {
      if (!name.starts_with("Quillmere-")) others.push_back(name);
    }
    return others;
  }

  BatchResult saveOne() {
    return createBatch(testing::smallRequest(m_dir / "in", destination(), 1), posixFileSystem());
  }

  testing::TempDir m_dir;
};

// Every owner a record may name, and every shape a folder of that name may have: only a dead
// batch's staging of this machine, whole and flat, goes.
TEST_F(LeftoverStaging, OnlyAProvablyDeadBatchsFlatStagingOfThisMachineIsRemoved) {
  LiveProcess live;
  LiveProcess ended;
  const ProcessOwner endedOwner = ownerOf(ended);
  ended.end();
  ProcessOwner reused = ownerOf(live);  // the id now names a process started at another moment
  reused.startTime += 1;
  ProcessOwner otherMachine = earlierBoot();
  otherMachine.machine = "0123456789abcdef0123456789abcdef";
  ProcessOwner otherNamespace = endedOwner;
  otherNamespace.pidNamespace = "pid:[1]";

  const struct {
    const char* name;
    std::function<void(const std::string& folder)> make;
    bool removed;
  } cases[] = {
      {"a batch of an earlier boot", [&](auto& f) { leaveStaging(f, earlierBoot()); }, true},
      {"a batch whose process ended", [&](auto& f) { leaveStaging(f, endedOwner); }, true},
      {"a batch whose process id was reused", [&](auto& f) { leaveStaging(f, reused); }, true},
      {"a batch with its manifest already written",
       [&](auto& f) {
         leaveStaging(f, earlierBoot());
         writeFile(in(f) + "/.quillmere-manifest.json", "{}");
       },
       true},
      {"a live batch of another process", [&](auto& f) { leaveStaging(f, ownerOf(live)); }, false},
      {"a live batch of this process", [&](auto& f) { leaveStaging(f, thisOwner()); }, false},
      {"a batch of another machine", [&](auto& f) { leaveStaging(f, otherMachine); }, false},
      {"a batch in another process-id namespace",
       [&](auto& f) { leaveStaging(f, otherNamespace); }, false},
      {"no owner record",
       [&](auto& f) {
         leaveStaging(f, earlierBoot());
         fs::remove(in(f) + "/.quillmere-staging-owner");
       },
       false},
      {"no owner record, all left alone for an hour (a batch cut off just before its commit)",
       [&](auto& f) {
         leaveStaging(f, earlierBoot());
         fs::remove(in(f) + "/.quillmere-staging-owner");
         writeFile(in(f) + "/.quillmere-manifest.json", "{}");
         ageAll(in(f), 3700);
       },
       true},
      {"no owner record, a file in it changed just now",
       [&](auto& f) {
         leaveStaging(f, earlierBoot());
         fs::remove(in(f) + "/.quillmere-staging-owner");
         ageAll(in(f), 3700);
         ageAll(in(f) + "/" + kCopy, 0);
       },
       false},
      {"an owner record cut short",
       [&](auto& f) {
         leaveStaging(f, earlierBoot());
         const std::string record = encodeOwnerRecord(earlierBoot());
         writeFile(in(f) + "/.quillmere-staging-owner", record.substr(0, record.size() - 3));
       },
       false},
      {"a sub-folder",
       [&](auto& f) {
         leaveStaging(f, earlierBoot());
         fs::create_directory(in(f) + "/sub");
       },
       false},
      {"a link",
       [&](auto& f) {
         leaveStaging(f, earlierBoot());
         fs::create_symlink(m_dir / "elsewhere", in(f) + "/5d0c1a2b-3c4d-4e5f-8a9b-0c1d2e3f4a5c.jpg");
       },
       false},
      {"a file of a name no batch gives",
       [&](auto& f) {
         leaveStaging(f, earlierBoot());
         writeFile(in(f) + "/photo.jpg", "the user's");
       },
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.make(kDead);
    const auto before = testing::snapshot(in(kDead));
    ASSERT_TRUE(saveOne().directory);
    if (c.removed) {
      EXPECT_EQ(othersIn(), std::vector<std::string>{});
    } else {
      EXPECT_EQ(othersIn(), std::vector<std::string>{kDead});
      EXPECT_EQ(testing::snapshot(in(kDead)), before) << "a folder not provably ours was touched";
    }
    for (const auto& name : testing::namesIn(destination())) fs::remove_all(in(name));
  }
}

// Named almost like staging, or not a folder at all: never staging, whatever its owner record.
TEST_F(LeftoverStaging, WhatIsOnlyNamedLikeStagingStaysWhole) {
  for (const char* name : {".quillmere-partial-photos",
                           ".quillmere-partial-0B6C3F4E-DEAD-4000-8000-000000000001",
                           ".quillmere-partial-0b6c3f4e-dead-4000-8000-000000000001-old"}) {
    leaveStaging(name, earlierBoot());
  }
  writeFile(m_dir / "elsewhere/precious", "not ours");
  fs::create_directory_symlink(m_dir / "elsewhere", in(kOther));
  writeFile(in(kDead), "a file");
  const BatchRequest request = testing::smallRequest(m_dir / "in", destination(), 1);
  const auto before = testing::snapshot(m_dir.path());
  ASSERT_TRUE(createBatch(request, posixFileSystem()).directory);
  auto after = testing::snapshot(m_dir.path());
  for (auto it = after.begin(); it != after.end();) {
    it = it->first.find("/Quillmere-") != std::string::npos ? after.erase(it) : std::next(it);
  }
  EXPECT_EQ(after, before);
}

// A bind mount at a staging name, or over a file inside a dead batch's staging: the mount's files
// (here a folder of originals, on the same file system, so the device alone cannot tell) survive.
TEST_F(LeftoverStaging, NothingReachedThroughAMountIsRemoved) {
  if (::geteuid() != 0 || ::unshare(CLONE_NEWNS) != 0) GTEST_SKIP() << "mounting needs root";
  ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
  // Only names a batch gives, and a dead owner: nothing but the mount tells it is not staging.
  const std::string originals = m_dir / "elsewhere";
  writeFile(originals + "/" + kCopy, "an original named like a copy");
  writeFile(originals + "/.quillmere-staging-owner", encodeOwnerRecord(earlierBoot()));
  fs::create_directory(in(kOther));
  ASSERT_EQ(::mount(originals.c_str(), in(kOther).c_str(), nullptr, MS_BIND, nullptr), 0)
      << std::strerror(errno);
  leaveStaging(kDead, earlierBoot());
  const std::string photo = m_dir / "photo.png";
  writeFile(photo, "a photo");
  ASSERT_EQ(::mount(photo.c_str(), (in(kDead) + "/" + kCopy).c_str(), nullptr, MS_BIND, nullptr), 0)
      << std::strerror(errno);

  const BatchResult saved = saveOne();
  EXPECT_TRUE(saved.directory);
  EXPECT_EQ(readFile(originals + "/" + kCopy), "an original named like a copy");
  EXPECT_TRUE(fs::exists(originals + "/.quillmere-staging-owner"));
  EXPECT_EQ(readFile(in(kDead) + "/" + kCopy), "a photo");
  EXPECT_EQ(readFile(photo), "a photo");
  ::umount2((in(kDead) + "/" + kCopy).c_str(), MNT_DETACH);
  ::umount2(in(kOther).c_str(), MNT_DETACH);
  // Once nothing is mounted there, the dead batch's own staging goes with the next save.
  ASSERT_TRUE(saveOne().directory);
  EXPECT_EQ(othersIn(), std::vector<std::string>{kOther});
}

// A record beside no folder: what a save killed while making its folder, or just after its
// commit, leaves. It goes once its owner is gone, or when it is only the start of a record.
TEST_F(LeftoverStaging, ARecordBesideNoFolderGoesOnlyOnceItsOwnerIsGone) {
  LiveProcess live;
  ProcessOwner otherMachine = earlierBoot();
  otherMachine.machine = "0123456789abcdef0123456789abcdef";
  const std::string whole = encodeOwnerRecord(earlierBoot());
  const struct {
    const char* name;
    std::string text;
    bool removed;
  } cases[] = {
      {"its owner's boot has ended", whole, true},
      {"empty, its writer killed before writing", "", true},
      {"cut short", whole.substr(0, whole.size() / 2), true},
      {"its owner lives", encodeOwnerRecord(ownerOf(live)), false},
      {"another machine's", encodeOwnerRecord(otherMachine), false},
      {"not a record", "the user's notes\n", false},
  };
  const std::string record = std::string(kDead) + ".owner";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(in(record), c.text);
    ASSERT_TRUE(saveOne().directory);
    EXPECT_EQ(othersIn(), c.removed ? std::vector<std::string>{} : std::vector<std::string>{record});
    for (const auto& name : testing::namesIn(destination())) fs::remove_all(in(name));
  }
}

// Each call of the clearing made to fail in turn: the batch is saved all the same, the leftover
// stays whole or emptied of its batch's files, and the next save clears it.
TEST_F(LeftoverStaging, AnyFailureWhileClearingLeavesTheBatchSaved) {
  const std::string dead = in(kDead);
  const struct {
    testing::FsOp op;
    std::string path;
  } cases[] = {
      {testing::FsOp::listEntries, destination()},
      {testing::FsOp::tryLock, destination()},
      {testing::FsOp::openDirectoryAt, dead},
      {testing::FsOp::statusOfFile, dead},
      {testing::FsOp::tryLock, dead},
      {testing::FsOp::openForReadingAt, dead + "/.quillmere-staging-owner"},
      {testing::FsOp::read, dead + "/.quillmere-staging-owner"},
      {testing::FsOp::listEntries, dead},
      {testing::FsOp::entryStatusAt, dead + "/" + kCopy},
      {testing::FsOp::removeFileAt, dead + "/" + kCopy},
      {testing::FsOp::removeFileAt, dead + "/.quillmere-staging-owner"},
      {testing::FsOp::removeEmptyFolderAt, dead},
  };
  const BatchRequest request = testing::smallRequest(m_dir / "in", destination(), 1);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(testing::name(c.op)) + " on " + c.path);
    leaveStaging(kDead, earlierBoot());
    testing::FaultyFileSystem faulty(c.op, 1, c.path);
    const BatchResult result = createBatch(request, faulty);
    EXPECT_TRUE(faulty.fired());
    ASSERT_TRUE(result.directory);
    EXPECT_EQ(testing::incompleteBatchesIn(destination(), 1), "");
    EXPECT_TRUE(fs::exists(dead));
    // The owner record goes last, so a clearing cut short leaves the proof for the next one; a
    // folder left empty is taken for a dead one's only once it has been left alone for long.
    if (fs::is_empty(dead)) {
      createBatch(request, posixFileSystem());
      EXPECT_EQ(othersIn(), std::vector<std::string>{kDead}) << "an empty folder made just now";
      ageAll(dead, 7200);
    } else {
      EXPECT_TRUE(fs::exists(dead + "/.quillmere-staging-owner"));
    }
    createBatch(request, posixFileSystem());
    EXPECT_EQ(othersIn(), std::vector<std::string>{});
    for (const auto& name : testing::namesIn(destination())) fs::remove_all(in(name));
  }
}

// A batch running in this process whose staging folder's lock another batch cannot see (two
// mounts of one share, or two machines): another process's batch into the same folder, run to
// its end meanwhile, leaves the first's staging alone, and both are saved whole.
TEST_F(LeftoverStaging, ALiveBatchWhoseLockIsNotSeenIsNeverRemoved) {
  class UnsharedLocks : public testing::FaultyFileSystem {
   public:
    bool tryLock(OpenFile& file, LockKind kind) override {
      if (file.path.find("/.quillmere-partial-") != std::string::npos) return true;
      return FaultyFileSystem::tryLock(file, kind);
    }
  };
  const BatchRequest first = testing::smallRequest(m_dir / "in", destination(), 3);
  fs::create_directory(m_dir / "in2");
  const BatchRequest second = testing::smallRequest(m_dir / "in2", destination(), 2);
  fs::create_directory(m_dir / "caller");
  writeFile(m_dir / "caller/request.json", toJson(second));

  UnsharedLocks hooked;
  bool ranSecond = false;
  hooked.before = [&](testing::FsOp op, const std::string& path) {
    // Once the first batch has made a copy in its staging folder, the second runs whole.
    if (ranSecond || op != testing::FsOp::createExclusiveAt || path.ends_with("-owner")) return;
    ranSecond = true;
    const std::string firstStaging = fs::path(path).parent_path().string();
    const testing::Outcome other =
        testing::runBridge({"--request", "request.json", "result.json"}, m_dir / "caller");
    EXPECT_EQ(other.status, 0) << other.err;
    EXPECT_TRUE(fs::is_directory(firstStaging)) << "the second batch removed the first's staging";
  };
  const BatchResult result = createBatch(first, hooked);
  ASSERT_TRUE(ranSecond);
  ASSERT_TRUE(result.directory);

  EXPECT_EQ(othersIn(), std::vector<std::string>{});
  const auto batches = testing::namesIn(destination());
  ASSERT_EQ(batches.size(), 2u);
  for (const auto& name : batches) {
    const std::size_t items = in(name) == *result.directory ? 3 : 2;
    EXPECT_EQ(testing::incompleteBatch(in(name), items), "");
  }
}

// A dead batch's staging the user may not empty (its folder read-only, for a user whom
// permissions bind): it stays as it is, the other leftover is cleared, and the batch is saved.
TEST_F(LeftoverStaging, AFolderTheUserCannotEmptyNeverFailsTheBatch) {
  leaveStaging(kDead, earlierBoot());
  leaveStaging(kOther, earlierBoot());
  const BatchRequest request = testing::smallRequest(m_dir / "in", destination(), 2);
  testing::runAsOrdinaryUser(m_dir.path(), [&] {
    // Written by the ordinary user, as that user's own batch would have.
    writeFile(in(kDead) + "/.quillmere-staging-owner", encodeOwnerRecord(earlierBoot()));
    fs::permissions(in(kDead), fs::perms::owner_read | fs::perms::owner_exec);
    const BatchResult result = createBatch(request, posixFileSystem());
    EXPECT_TRUE(result.directory);
    EXPECT_EQ(testing::incompleteBatchesIn(destination(), 2), "");
    EXPECT_EQ(othersIn(), std::vector<std::string>{kDead});
    EXPECT_TRUE(fs::exists(in(kDead) + "/" + kCopy));
    fs::permissions(in(kDead), fs::perms::owner_all);  // so the test's folder can be removed
  });
}

// A stop asked for while many leftovers are cleared ends the batch at the next folder, with the
// rest left for a later save; and another process holding the destination's lock means no
// clearing this time, never a wait.
TEST_F(LeftoverStaging, TheClearingHearsAStopAndNeverWaitsForALock) {
  constexpr int kLeftovers = 50;
  for (int i = 0; i < kLeftovers; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, ".quillmere-partial-0b6c3f4e-dead-4000-8000-%012d", i);
    leaveStaging(name, earlierBoot());
  }
  const BatchRequest request = testing::smallRequest(m_dir / "in", destination(), 1);

  const UniqueFd held(::open(destination().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_EQ(::flock(held.get(), LOCK_EX | LOCK_NB), 0);
  ASSERT_TRUE(createBatch(request, posixFileSystem()).directory);
  EXPECT_EQ(othersIn().size(), static_cast<std::size_t>(kLeftovers));
  ::flock(held.get(), LOCK_UN);

  std::atomic<bool> stop = false;
  BatchObserver observer;
  observer.stopFlag = &stop;
  testing::FaultyFileSystem hooked;
  int removed = 0;
  hooked.before = [&](testing::FsOp op, const std::string&) {
    if (op == testing::FsOp::removeEmptyFolderAt && ++removed == 3) stop = true;
  };
  EXPECT_EQ(testing::failureOf([&] { createBatch(request, hooked, &observer); }),
            kBatchStoppedMessage);
  EXPECT_EQ(othersIn().size(), static_cast<std::size_t>(kLeftovers - 3));
  EXPECT_EQ(testing::namesIn(destination()).size(), othersIn().size() + 1)
      << "a stopped batch left a folder of its own";
}

}  // namespace
}  // namespace quillmere
