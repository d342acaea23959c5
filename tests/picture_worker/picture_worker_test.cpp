#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "picture_worker/picture_workers.h"
#include "picture_worker/sandbox.h"
#include "../thumbnail/exif_fixture.h"
#include "support/child_process.h"
#include "support/images.h"
#include "support/sanitized.h"
#include "support/temp_dir.h"
#include "worker_faults.h"

namespace quillmere {

// Outcomes by name in failure messages.
void PrintTo(PictureWorkers::Outcome outcome, std::ostream* out) {
  constexpr const char* kNames[] = {"picture", "none", "failed"};
  *out << kNames[static_cast<int>(outcome)];
}

namespace {

using testing::TempDir;
using testing::writeFile;

constexpr PictureJob kJob{64, 32, 2000};

// Workers of the installed program, or of the test executable whose worker makes the faults a
// marked file asks for (the same worker code, entered through a test's main).
PictureWorkers::Options workerOptions(int maxWorkers = 1,
                                      const char* program = QUILLMERE_BRIDGE_PATH) {
  PictureWorkers::Options options;
  options.program = program;
  options.maxWorkers = maxWorkers;
  return options;
}

UniqueFd openFile(const std::string& path) {
  return UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
}

PictureWorkers::Result make(PictureWorkers& workers, const std::string& path,
                            const PictureJob& job = kJob) {
  const UniqueFd fd = openFile(path);
  EXPECT_TRUE(fd) << path;
  return workers.make(fd.get(), job);
}

// A file of /proc, whole; empty when it cannot be read (the process has gone).
std::string procText(pid_t pid, const char* name) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/" + name);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// The value of `field` ("NoNewPrivs", "Seccomp", "CapEff") in a process's /proc status.
std::string statusField(pid_t pid, const std::string& field) {
  std::istringstream status(procText(pid, "status"));
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(field + ":")) {
      std::istringstream value(line.substr(field.size() + 1));
      std::string word;
      value >> word;
      return word;
    }
  }
  return "";
}

// The picture workers `parent` runs now, by their parent in /proc and their command line.
std::vector<pid_t> pictureWorkersOf(pid_t parent) {
  std::vector<pid_t> workers;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = std::stoi(name);
    // "pid (name) state ppid ...": the name may hold anything, so the fields are read after it.
    const std::string stat = procText(pid, "stat");
    const std::size_t nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos) continue;
    std::istringstream fields(stat.substr(nameEnd + 1));
    char state = 0;
    pid_t ppid = -1;
    fields >> state >> ppid;
    if (ppid != parent || state == 'Z') continue;
    if (procText(pid, "cmdline").find(kPictureWorkerFlag) != std::string::npos) {
      workers.push_back(pid);
    }
  }
  return workers;
}

// Whether process `pid` holds `path` open.
bool holdsOpen(pid_t pid, const std::filesystem::path& path) {
  std::error_code error;
  const std::filesystem::path file = std::filesystem::canonical(path, error);
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
    if (std::filesystem::read_symlink(entry.path(), error) == file) return true;
  }
  return false;
}

// Asks `done` until it holds or `limit` has passed; whether it held. Only to bound a wait for
// what must come, never to time anything.
bool eventually(std::chrono::seconds limit, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Whether this process may administer the system (load a filter without no-new-privileges, among
// much else) whoever it runs as.
bool holdsSysAdmin() {
  const std::string effective = statusField(::getpid(), "CapEff");
  return !effective.empty() && ((std::stoull(effective, nullptr, 16) >> CAP_SYS_ADMIN) & 1) != 0;
}

TEST(PictureWorkers, MakeAPictureFromADescriptorWhoseFileHasNoNameLeft) {
  TempDir dir;
  const std::string path = dir.path() + "/photo.jpg";
  writeFile(path, testing::jpegImage(300, 200));
  PictureWorkers workers(workerOptions());
  const UniqueFd fd = openFile(path);
  ASSERT_TRUE(fd);
  // The worker cannot open the path (its filter forbids opening anything); it reads what it is
  // handed, which has no name at all now.
  ASSERT_EQ(::unlink(path.c_str()), 0);
  const PictureWorkers::Result result = workers.make(fd.get(), kJob);
  ASSERT_EQ(result.outcome, PictureWorkers::Outcome::picture);
  EXPECT_EQ(result.picture.width, 48u);
  EXPECT_EQ(result.picture.height, 32u);
  EXPECT_EQ(result.picture.pixels.size(), std::size_t{48} * 32);

  // The same worker serves the next job; a file without a picture is an answer, not a failure.
  writeFile(dir.path() + "/notes.txt", "words, no picture");
  EXPECT_EQ(make(workers, dir.path() + "/notes.txt").outcome, PictureWorkers::Outcome::none);
  EXPECT_EQ(workers.startedCount(), 1);
  EXPECT_EQ(workers.runningCount(), 1);
}

// The job says whether the file's EXIF thumbnail may serve: the table's pictures come from the
// green thumbnail, the comparison view's from the red photo, in the same worker.
TEST(PictureWorkers, TheJobSaysWhetherAnEmbeddedPictureMayServe) {
  TempDir dir;
  const std::string path = dir.path() + "/photo.jpg";
  writeFile(path, testing::withExifThumbnail(testing::jpegOf(testing::filled(600, 400, Qt::red)),
                                             testing::jpegOf(testing::filled(150, 100, Qt::green))));
  PictureWorkers workers(workerOptions());
  for (const bool embedded : {true, false, true}) {
    SCOPED_TRACE(::testing::Message() << "embedded picture allowed: " << embedded);
    PictureJob job = kJob;
    job.embeddedPicture = embedded;
    const PictureWorkers::Result result = make(workers, path, job);
    ASSERT_EQ(result.outcome, PictureWorkers::Outcome::picture);
    ASSERT_EQ(result.picture.width, 48u);
    const QColor centre(result.picture.pixels[std::size_t{16} * 48 + 24]);
    EXPECT_EQ(centre.green() > 128, embedded) << centre.name().toStdString();
    EXPECT_EQ(centre.red() > 128, !embedded) << centre.name().toStdString();
  }
  EXPECT_EQ(workers.startedCount(), 1);
}

// A decoder that crashes, hangs, or tries what the sandbox forbids ends its worker only: that
// file gets no picture, the next file gets its own from a new worker.
TEST(PictureWorkers, AWorkerThatCrashesHangsOrBreaksItsFilterCostsOnlyThatPicture) {
  struct Case {
    const char* fault;
    int endSignal;
  };
  const Case cases[] = {
      {"crash", SIGSEGV},
      // Killed by the window once the picture's time is spent.
      {"hang", SIGKILL},
      // The filter kills a worker that opens a file, makes a socket or runs a program.
      {"open", SIGSYS},
      {"socket", SIGSYS},
      {"exec", SIGSYS},
  };
  TempDir dir;
  const std::string good = dir.path() + "/good.png";
  writeFile(good, testing::pngImage(40, 20));
  PictureWorkers workers(workerOptions(1, QUILLMERE_FAULT_WORKER_PATH));
  ASSERT_EQ(make(workers, good).outcome, PictureWorkers::Outcome::picture);
  int started = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    const std::string hostile = dir.path() + "/" + c.fault + ".CR3";
    writeFile(hostile, testing::faultFile(c.fault));
    const PictureJob quick{64, 32, 300};
    const PictureWorkers::Result result = make(workers, hostile, quick);
    EXPECT_EQ(result.outcome, PictureWorkers::Outcome::failed);
    EXPECT_TRUE(result.workerLost);
    EXPECT_EQ(workers.lostCount(), started);
#ifdef QUILLMERE_SANITIZED
    // The sanitizer's own handler takes the crash and, reading its maps to report it, meets the
    // filter: the worker ends by SIGSYS instead.
    if (c.endSignal == SIGSEGV) {
      EXPECT_TRUE(result.endSignal == SIGSEGV || result.endSignal == SIGSYS) << result.endSignal;
    } else {
      EXPECT_EQ(result.endSignal, c.endSignal);
    }
#else
    EXPECT_EQ(result.endSignal, c.endSignal);
#endif
    EXPECT_EQ(workers.runningCount(), 0);
    const PictureWorkers::Result next = make(workers, good);
    EXPECT_EQ(next.outcome, PictureWorkers::Outcome::picture);
    EXPECT_EQ(next.picture.width, 40u);
    EXPECT_EQ(workers.startedCount(), ++started);
  }
}

// The installed program has no fault hook at all: a marked file is read as any file that holds
// no picture, by the same worker, and the hook's marker is nowhere in the program's bytes.
TEST(PictureWorkers, TheInstalledProgramCannotBeMadeToFaultOnPurpose) {
  TempDir dir;
  PictureWorkers workers(workerOptions());
  for (const char* name : {"crash", "hang", "open", "socket", "exec"}) {
    SCOPED_TRACE(name);
    const std::string marked = dir.path() + "/" + name + ".CR3";
    writeFile(marked, testing::faultFile(name));
    EXPECT_EQ(make(workers, marked).outcome, PictureWorkers::Outcome::none);
  }
  EXPECT_EQ(workers.startedCount(), 1);
  const std::string marker = testing::faultFile("");
  EXPECT_EQ(testing::readFile(QUILLMERE_BRIDGE_PATH).find(marker), std::string::npos);
  EXPECT_NE(testing::readFile(QUILLMERE_FAULT_WORKER_PATH).find(marker), std::string::npos)
      << "the marker this test looks for is the one the test worker answers";
}

// A worker that has answered is in its sandbox for good: no new privileges (so no set-user-ID
// program could give it any, and its filter loads without privileges of its own), its filter on
// (mode 2), and a finite address space it cannot raise again.
TEST(PictureWorkers, AWorkerRunsWithoutNewPrivilegesUnderItsFilterWithinAnAddressSpaceLimit) {
  TempDir dir;
  writeFile(dir / "photo.jpg", testing::jpegImage(300, 200));
  PictureWorkers workers(workerOptions());
  ASSERT_EQ(make(workers, dir / "photo.jpg").outcome, PictureWorkers::Outcome::picture);
  const std::vector<pid_t> running = pictureWorkersOf(::getpid());
  ASSERT_EQ(running.size(), 1u);
  const pid_t worker = running.front();
  EXPECT_EQ(statusField(worker, "NoNewPrivs"), "1");
  EXPECT_EQ(statusField(worker, "Seccomp"), "2");

  std::istringstream limits(procText(worker, "limits"));
  std::string soft, hard;
  for (std::string line; std::getline(limits, line);) {
    if (line.starts_with("Max address space")) {
      std::istringstream(line.substr(std::string("Max address space").size())) >> soft >> hard;
    }
  }
  ASSERT_NE(soft, "") << "no address-space line in /proc/" << worker << "/limits";
  ASSERT_NE(soft, "unlimited") << "the worker's address space has no limit";
  EXPECT_EQ(hard, soft) << "the worker could raise its own limit";
  // Room for its decoders beyond what it maps already, and not the machine's.
  EXPECT_GE(std::stoull(soft), kPictureWorkerAddressSpace);
}

// For a user without privileges, as the program is run, a seccomp filter loads only with no new
// privileges set first; the workers still start and pictures still come.
TEST(PictureWorkers, AnOrdinaryUsersWorkersGiveTheirPictures) {
  if (!testing::isRoot() && holdsSysAdmin()) {
    GTEST_SKIP() << "this user is not root yet may administer the system, and cannot become an "
                    "ordinary user here";
  }
  TempDir dir;
  writeFile(dir / "photo.jpg", testing::jpegImage(300, 200));
  // An ordinary user may not reach the build (under /root on a CI machine): the worker runs from
  // a copy beside the photo.
  const std::string program = dir / "quillmere-bridge";
  std::filesystem::copy_file(QUILLMERE_BRIDGE_PATH, program);
  std::filesystem::permissions(program, std::filesystem::perms::owner_all |
                                            std::filesystem::perms::group_read |
                                            std::filesystem::perms::group_exec |
                                            std::filesystem::perms::others_read |
                                            std::filesystem::perms::others_exec);
  testing::runAsOrdinaryUser(dir.path(), [&] {
    ASSERT_FALSE(holdsSysAdmin()) << "still privileged";
    PictureWorkers workers(workerOptions(1, program.c_str()));
    const PictureWorkers::Result result = make(workers, dir / "photo.jpg");
    ASSERT_EQ(result.outcome, PictureWorkers::Outcome::picture)
        << "the worker ended by signal " << result.endSignal;
    EXPECT_EQ(result.picture.width, 48u);
    EXPECT_EQ(result.picture.height, 32u);
    EXPECT_EQ(workers.lostCount(), 0);
  });
}

// A window killed outright (out of memory, by the user) while a worker spins in a decoder leaves
// no worker behind: the kernel kills it with the window, though nobody ever closes its channel.
TEST(PictureWorkers, AWorkerStuckInADecoderDiesWithTheWindow) {
  TempDir dir;
  const std::filesystem::path hang = dir / "hang.CR3";
  writeFile(hang, testing::faultFile("hang"));

  // The window's orphans come to this process, which then reaps them, rather than to an init
  // that may leave them unreaped and seemingly alive.
  int wasSubreaper = 0;
  ASSERT_EQ(::prctl(PR_GET_CHILD_SUBREAPER, &wasSubreaper), 0);
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  const std::shared_ptr<void> restore(nullptr, [wasSubreaper](void*) {
    ::prctl(PR_SET_CHILD_SUBREAPER, wasSubreaper);
  });

  // The window: its worker is given the hanging file with an hour to make its picture.
  testing::ChildProcess window = testing::forkChild([&] {
    PictureWorkers workers(workerOptions(1, QUILLMERE_FAULT_WORKER_PATH));
    make(workers, hang, PictureJob{64, 32, 3'600'000});
    return false;
  });
  ASSERT_TRUE(window);
  // The worker holds the file once it has the job: from then on it spins and never reads again.
  pid_t worker = -1;
  ASSERT_TRUE(eventually(std::chrono::seconds(60), [&] {
    for (const pid_t pid : pictureWorkersOf(window.pid())) {
      if (holdsOpen(pid, hang)) worker = pid;
    }
    return worker > 0;
  })) << "no worker took the job";

  window.kill();
  int status = 0;
  const bool ended = eventually(std::chrono::seconds(10), [&] {
    return ::waitpid(worker, &status, WNOHANG) == worker;
  });
  if (!ended) {
    ::kill(worker, SIGKILL);
    ::waitpid(worker, nullptr, 0);
  }
  ASSERT_TRUE(ended) << "the worker was still running 10 s after its window was killed";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
}

// The window's picture threads end when they have been idle a while; the workers they started
// stay and serve the next picture, asked for on another thread.
TEST(PictureWorkers, AWorkerOutlivesTheThreadThatStartedIt) {
  TempDir dir;
  writeFile(dir / "photo.jpg", testing::jpegImage(300, 200));
  PictureWorkers workers(workerOptions());
  std::thread([&] {
    EXPECT_EQ(make(workers, dir / "photo.jpg").outcome, PictureWorkers::Outcome::picture);
  }).join();
  EXPECT_EQ(make(workers, dir / "photo.jpg").outcome, PictureWorkers::Outcome::picture);
  EXPECT_EQ(workers.startedCount(), 1);
  EXPECT_EQ(workers.lostCount(), 0);
}

TEST(PictureWorkers, NoMoreWorkersRunThanAllowedAndCallersBeyondWaitForOne) {
  TempDir dir;
  const std::string path = dir.path() + "/photo.jpg";
  writeFile(path, testing::jpegImage(200, 100));
  PictureWorkers workers(workerOptions(2));
  // Workers started ahead count against the same limit as those started for a job.
  workers.startAhead();
  std::vector<std::thread> callers;
  std::atomic<int> pictures = 0;
  for (int i = 0; i < 6; ++i) {
    callers.emplace_back([&] {
      for (int j = 0; j < 3; ++j) {
        if (make(workers, path).outcome == PictureWorkers::Outcome::picture) ++pictures;
        EXPECT_LE(workers.runningCount(), 2);
      }
    });
  }
  for (std::thread& caller : callers) caller.join();
  EXPECT_EQ(pictures, 18);
  EXPECT_LE(workers.startedCount(), 2);
}

TEST(PictureWorkers, AProgramThatCannotStartGivesNoPictureAndNoHang) {
  TempDir dir;
  const std::string path = dir.path() + "/photo.jpg";
  writeFile(path, testing::jpegImage(20, 10));
  PictureWorkers::Options options = workerOptions();
  options.program = dir.path() + "/missing-program";
  PictureWorkers workers(options);
  const PictureWorkers::Result result = make(workers, path);
  EXPECT_EQ(result.outcome, PictureWorkers::Outcome::failed);
  EXPECT_FALSE(result.workerLost) << "none was ever running";
  EXPECT_EQ(workers.lostCount(), 0);
  EXPECT_EQ(workers.runningCount(), 0);
}

// Every input that ever broke the picture maker, and the seeds, through the worker: each gives a
// picture within the box, none, or costs its worker; the window's side never sees more.
TEST(PictureWorkers, FuzzFindingsAreContainedInTheWorker) {
  const std::filesystem::path fuzz = QUILLMERE_FUZZ_DIR;
  PictureWorkers workers(workerOptions());
  int files = 0;
  for (const char* folder : {"regressions/thumbnail", "corpus/thumbnail"}) {
    for (const auto& entry : std::filesystem::directory_iterator(fuzz / folder)) {
      SCOPED_TRACE(entry.path().string());
      ++files;
      const PictureWorkers::Result result = make(workers, entry.path().string());
      if (result.outcome == PictureWorkers::Outcome::picture) {
        EXPECT_LE(result.picture.width, kJob.boxWidth);
        EXPECT_LE(result.picture.height, kJob.boxHeight);
      }
    }
  }
  EXPECT_GE(files, 3) << "the fuzz folders are missing";
  TempDir dir;
  writeFile(dir.path() + "/after.jpg", testing::jpegImage(64, 32));
  EXPECT_EQ(make(workers, dir.path() + "/after.jpg").outcome, PictureWorkers::Outcome::picture);
}

// Leaf metadata (TIFF tag 0x8606) pointing at `levels` nested "PKTS" headers: Debian 12's
// LibRaw 0.20 recurses once per header with no bound, and overflows its stack in open_buffer.
std::string leafMetadataChain(int levels) {
  const auto le16 = [](std::uint16_t v) { return std::string{char(v & 0xff), char(v >> 8)}; };
  const auto le32 = [&](std::uint32_t v) { return le16(v & 0xffff) + le16(v >> 16); };
  std::string bytes = "II*" + std::string(1, '\0') + le32(8) + le16(1);
  bytes += le16(0x8606) + le16(7) + le32(5) + le32(26) + le32(0);
  const std::string header =
      "STKP" + std::string(4, '\0') + std::string(39, 'x') + std::string(1, '\0') + le32(0x7fffffff);
  for (int level = 0; level < levels; ++level) bytes += header;
  return bytes;
}

// Inputs found to crash or loop for ever inside the installed LibRaw while it merely opens a
// file, kept in fuzz/regressions/decoder-faults (the chain is made here, being 1.5 MB): each ends
// its worker only, as a crash or a kill for time, and the next file gets its picture.
TEST(PictureWorkers, LibRawCrashesAndEndlessLoopsEndOnlyTheirWorker) {
  const std::filesystem::path faults = std::filesystem::path(QUILLMERE_FUZZ_DIR) /
                                       "regressions" / "decoder-faults";
  TempDir dir;
  const std::string chain = dir.path() + "/leaf-chain.tif";
  writeFile(chain, leafMetadataChain(30000));
  const std::string good = dir.path() + "/good.jpg";
  writeFile(good, testing::jpegImage(40, 20));
  struct Case {
    std::string path;
    int endSignal;
  };
  const Case cases[] = {
      // An Adobe copy of a Fujifilm maker note whose directory lies 3.75 GB past its buffer.
      {(faults / "libraw-raf-makernote-crash.tif").string(), SIGSEGV},
      // An Adobe panorama maker note whose tag length wraps its bounds check round.
      {(faults / "libraw-pano-makernote-crash.tif").string(), SIGSEGV},
      // A CR3 box of length 0, read again for ever.
      {(faults / "libraw-cr3-box-loop.cr3").string(), SIGKILL},
      // A plain TIFF from a Ricoh GXR whose maker note never holds the tag LibRaw looks for.
      {(faults / "libraw-ricoh-makernote-loop.tif").string(), SIGKILL},
      {chain, SIGSEGV},
  };
  PictureWorkers workers(workerOptions());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const PictureJob quick{64, 32, 500};
    const PictureWorkers::Result result = make(workers, c.path, quick);
    EXPECT_EQ(result.outcome, PictureWorkers::Outcome::failed);
#ifdef QUILLMERE_SANITIZED
    // The sanitizer's handler takes a crash first and may meet the filter, or abort, reporting it.
    if (c.endSignal == SIGSEGV) {
      EXPECT_TRUE(result.endSignal == SIGSEGV || result.endSignal == SIGSYS ||
                  result.endSignal == SIGABRT || result.endSignal == 0)
          << result.endSignal;
    } else {
      EXPECT_EQ(result.endSignal, c.endSignal);
    }
#else
    EXPECT_EQ(result.endSignal, c.endSignal);
#endif
    const PictureWorkers::Result next = make(workers, good);
    EXPECT_EQ(next.outcome, PictureWorkers::Outcome::picture);
    EXPECT_EQ(next.picture.width, 40u);
  }
}

}  // namespace
}  // namespace quillmere
