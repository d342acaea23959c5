// How verifyBatch reads each render: nothing larger than a render can be is read, a name renamed
// over while its file was read is not called intact, a link swapped in after the look is never
// followed, every file is read from the device, and the process's own shortage of memory or
// descriptors is its own failure, never a problem of a render.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <new>
#include <ostream>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/faulty_file_system.h"
#include "support/images.h"
#include "support/page_cache.h"
#include "support/saved_batch.h"
#include "support/temp_dir.h"
#include "transfer/create_batch.h"
#include "transfer/manifest.h"
#include "transfer/pair_reads.h"
#include "verify/verify_batch.h"

namespace quillmere {

void PrintTo(const VerifyProblem& problem, std::ostream* out);

namespace {

namespace fs = std::filesystem;
using testing::FaultyFileSystem;
using testing::FsOp;
using testing::TempDir;
using testing::writeFile;

// A batch saved by testing::saveBatch, and its renders' names in manifest order.
struct Batch {
  std::string folder;
  std::vector<std::string> renders;

  std::string path(const std::string& name) const { return folder + "/" + name; }
};

Batch batchAt(const std::string& folder) {
  Batch batch{folder, {}};
  const std::string manifest = testing::readFile(batch.path(kManifestFileName));
  const std::string key = "\"renderFilename\" : \"";
  for (auto at = manifest.find(key); at != std::string::npos; at = manifest.find(key, at + 1)) {
    const auto start = at + key.size();
    batch.renders.push_back(manifest.substr(start, manifest.find('"', start) - start));
  }
  return batch;
}

// A file in a render's place larger than any render is refused as it stands: not one byte of it
// is read, however large (a sparse 64 GiB file would otherwise take minutes).
TEST(VerifyRenderReads, AFileLargerThanAnyRenderIsRefusedUnread) {
  TempDir dir;
  const Batch batch = batchAt(testing::saveBatch(dir));
  for (const std::int64_t size : {kLargestRender + 1, std::int64_t{64} << 30}) {
    SCOPED_TRACE(size);
    testing::makeSparseFile(batch.path(batch.renders[1]), size);
    FaultyFileSystem watching;
    std::set<std::string> read;
    watching.before = [&](FsOp op, const std::string& path) {
      if (op == FsOp::readAt) read.insert(path);
    };
    const VerifyReport report = verifyBatch(batch.folder, watching);
    EXPECT_EQ(report.problems,
              (std::vector<VerifyProblem>{{batch.renders[1], kRenderTooLargeProblem}}));
    EXPECT_FALSE(read.contains(batch.path(batch.renders[1])));
  }
}

// Another file renamed onto a render's name while the render is read: the bytes read were the
// render's, but the folder no longer holds them, so the render is not reported intact.
TEST(VerifyRenderReads, ARenderRenamedOverWhileReadIsNotIntact) {
  TempDir dir;
  const Batch batch = batchAt(testing::saveBatch(dir));
  const std::string render = batch.path(batch.renders[0]);
  const struct {
    const char* name;
    std::string replacement;  // what is renamed onto the render's name; empty: nothing
    std::vector<VerifyProblem> problems;
  } cases[] = {
      {"another picture",
       testing::jpegImage(6, 4, 7),
       {{batch.renders[0], kRenderChangedWhileReadProblem}}},
      {"a copy of the same bytes (a new file all the same)",
       testing::readFile(render),
       {{batch.renders[0], kRenderChangedWhileReadProblem}}},
      {"nothing: the render as saved", "", {}},
  };
  const std::string saved = testing::readFile(render);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(dir / "saved", saved);
    fs::rename(dir / "saved", render);
    FaultyFileSystem racing;
    bool renamed = false;
    racing.before = [&](FsOp op, const std::string& path) {
      if (op != FsOp::readAt || path != render || renamed || c.replacement.empty()) return;
      renamed = true;
      writeFile(dir / "replacement", c.replacement);
      fs::rename(dir / "replacement", render);
    };
    const VerifyReport report = verifyBatch(batch.folder, racing);
    EXPECT_EQ(report.problems, c.problems);
  }
}

// Each file's cached pages are gone by the time it is first read, so what is checked is what the
// device holds. (The same promise is kept against a fake medium in verify_batch_test.cpp; this
// one watches the kernel's page cache itself.)
TEST(VerifyRenderReads, EveryFileIsReadWithItsCachedPagesDroppedFirst) {
  TempDir dir;
  const Batch batch = batchAt(testing::saveBatch(dir, 3, 256 << 10));
  ::sync();  // clean pages, which can be dropped
  for (const auto& name : batch.renders) testing::readFile(batch.path(name));
  testing::readFile(batch.path(kManifestFileName));
  ASSERT_GT(testing::cachedBytes(batch.path(batch.renders[0])), 0u)
      << "this file system keeps no page cache to watch";

  class Watching : public FaultyFileSystem {
   public:
    std::size_t readAt(OpenFile& file, std::uint64_t offset, std::span<std::byte> buffer) override {
      {
        const std::lock_guard lock(mutex);
        if (!cachedAtFirstRead.contains(file.path)) {
          cachedAtFirstRead[file.path] = testing::cachedBytes(file.path);
        }
      }
      return FaultyFileSystem::readAt(file, offset, buffer);
    }
    std::mutex mutex;
    std::map<std::string, std::uint64_t> cachedAtFirstRead;
  } watching;
  const VerifyReport report = verifyBatch(batch.folder, watching);
  EXPECT_TRUE(report.problems.empty());
  std::map<std::string, std::uint64_t> expected = {{batch.path(kManifestFileName), 0}};
  for (const auto& name : batch.renders) expected[batch.path(name)] = 0;
  EXPECT_EQ(watching.cachedAtFirstRead, expected);
}

// The process's own shortage (descriptors, kernel memory) when opening or reading a render or
// the manifest is thrown as the failure it is: no render is called damaged or unreadable for it.
TEST(VerifyRenderReads, TheProcessRunningShortIsItsOwnFailureNeverARendersProblem) {
  TempDir dir;
  const Batch batch = batchAt(testing::saveBatch(dir));
  for (const int error : {EMFILE, ENFILE, ENOMEM}) {
    for (const FsOp op : {FsOp::openDirectory, FsOp::openForReadingAt, FsOp::readAt}) {
      for (const int call : {1, 2, 4}) {
        SCOPED_TRACE(std::string(testing::name(op)) + " call " + std::to_string(call) + " errno " +
                     std::to_string(error));
        FaultyFileSystem failing(op, call, error);
        try {
          const VerifyReport report = verifyBatch(batch.folder, failing);
          EXPECT_FALSE(failing.fired()) << "a shortage was reported as a problem of the batch: "
                                        << (report.problems.empty() ? std::string()
                                                                    : report.problems[0].problem);
          EXPECT_TRUE(report.problems.empty());
        } catch (const std::system_error& failure) {
          EXPECT_TRUE(failing.fired());
          EXPECT_EQ(failure.code().value(), error);
        }
      }
    }
  }
}

// Memory running out on the second thread is memory running out: never taken for a stop.
TEST(VerifyRenderReads, MemoryRunningOutOnTheSecondThreadIsReportedAsSuch) {
  TempDir dir;
  const Batch batch = batchAt(testing::saveBatch(dir, 4, 1 << 20));
  // The calling thread waits at its first read until the other thread has failed, so that the
  // failure is certainly the second thread's and comes first.
  class FailingElsewhere : public FaultyFileSystem {
   public:
    std::size_t readAt(OpenFile& file, std::uint64_t offset, std::span<std::byte> buffer) override {
      if (file.path.ends_with(kManifestFileName)) {
        return FaultyFileSystem::readAt(file, offset, buffer);
      }
      if (std::this_thread::get_id() != caller) {
        {
          const std::lock_guard lock(mutex);
          failed = true;
        }
        changed.notify_all();
        throw std::bad_alloc();
      }
      std::unique_lock lock(mutex);
      changed.wait(lock, [&] { return failed; });
      return FaultyFileSystem::readAt(file, offset, buffer);
    }
    std::thread::id caller = std::this_thread::get_id();
    std::mutex mutex;
    std::condition_variable changed;
    bool failed = false;
  } failing;
  EXPECT_THROW(verifyBatch(batch.folder, failing), std::bad_alloc);
}

// Traps every openat of the calling thread (and threads it starts) and, at the first one of
// `name`, puts a link to `outside` in its place before the call goes on: exactly between
// openForReadingAt's look at the entry and its open. Runs in a forked child; answers what
// verifying found there, or nothing when this kernel cannot trap calls for a supervisor.
#if defined(__x86_64__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_AARCH64;
#else
constexpr std::uint32_t kAuditArch = 0;
#endif

int trapOpenat() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  if (kAuditArch == 0 || ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return -1;
  return static_cast<int>(
      ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &program));
}

TEST(VerifyRenderReads, ALinkSwappedInBetweenTheLookAndTheOpenIsNeverFollowed) {
  TempDir dir;
  const Batch batch = batchAt(testing::saveBatch(dir));
  const std::string name = batch.renders[1];
  // The same bytes outside the folder: following the link would find the render intact.
  fs::copy_file(batch.path(name), dir / "outside");

  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    testing::dieWithTestProcess(::getppid());
    std::atomic<int> listener = -1;
    std::atomic<bool> swapped = false;
    // Started before the trap is set, so its own calls are not trapped.
    std::thread supervisor([&] {
      while (listener.load() < 0) std::this_thread::yield();
      for (;;) {
        seccomp_notif request{};
        if (::ioctl(listener.load(), SECCOMP_IOCTL_NOTIF_RECV, &request) != 0) {
          if (errno == EINTR) continue;
          return;
        }
        // The trapped thread is one of this process, halted in its call: its path is copied out
        // by the kernel, which orders the copy after the thread wrote it (a plain read here would
        // be a race to ThreadSanitizer, which cannot see the trap's hand-over).
        char path[4096] = {};
        const iovec local{path, sizeof path - 1};
        const iovec remote{reinterpret_cast<void*>(request.data.args[1]), sizeof path - 1};
        const bool read = request.data.args[1] != 0 &&
                          ::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0) > 0;
        if (!swapped && read && name == path) {
          swapped = true;
          const std::string link = batch.path(".link");
          if (::symlink((dir / "outside").c_str(), link.c_str()) == 0) {
            ::rename(link.c_str(), batch.path(name).c_str());
          }
        }
        seccomp_notif_resp response{};
        response.id = request.id;
        response.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
        ::ioctl(listener.load(), SECCOMP_IOCTL_NOTIF_SEND, &response);
      }
    });
    supervisor.detach();
    const int trap = trapOpenat();
    if (trap < 0) {
      listener = 1 << 30;  // an invalid descriptor: the supervisor ends
      ::_exit(77);
    }
    listener = trap;
    const VerifyReport report = verifyBatch(batch.folder);
    const std::vector<VerifyProblem> expected = {{name, kRenderNotAFileProblem}};
    if (!swapped || report.problems != expected) {
      for (const auto& p : report.problems) {
        std::fprintf(stderr, "%s: %s\n", p.file.c_str(), p.problem.c_str());
      }
      ::_exit(1);
    }
    ::_exit(0);
  }
  testing::ChildProcess child(pid);
  const auto status = child.wait();
  if (status == 77) GTEST_SKIP() << "this kernel cannot trap a call for a supervisor (seccomp)";
  EXPECT_EQ(status, 0) << "the link was followed, or the check found something else (above)";
}

}  // namespace
}  // namespace quillmere
