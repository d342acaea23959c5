#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/child_process.h"
#include "support/sanitized.h"
#include "support/temp_dir.h"

namespace quillmere::testing {

// How a run of the real executable ended, and what it printed.
struct Outcome {
  int status = -1;  // exit status, or minus the signal that ended it
  std::string out;
  std::string err;
};

struct BridgeOptions {
  int standardInput = -1;               // the child's standard input when set
  int standardOutput = -1;              // its standard output, instead of a capture file
  int standardError = -1;               // its standard error, instead of a capture file
  std::optional<rlim_t> fileSizeLimit;  // RLIMIT_FSIZE of the child
  // Further limits of the child (RLIMIT_NOFILE, RLIMIT_AS, ...), set just before it starts the
  // program, after it became `user`.
  std::vector<std::pair<int, rlim_t>> limits;
  // The user the child runs as, when the test runs as root (nobody, 65534, for what root is
  // exempt from, such as RLIMIT_NPROC).
  std::optional<uid_t> user;
  // The executable to start instead of the one built, for a `user` who cannot reach the build
  // (under /root, say): a copy of it in a folder that user may enter.
  std::string program;
  // Variables the child's environment holds besides PATH=/usr/bin:/bin ("NAME=value"; a PATH
  // given here takes the place of that one).
  std::vector<std::string> environment;
};

// The real executable, started in `cwd` with no display and nothing inherited from the
// environment; standard output and error go to files. Killed and reaped if still running when it
// goes out of scope, and killed with the test process should that end first.
class BridgeProcess {
 public:
  BridgeProcess(const std::vector<std::string>& args, const std::string& cwd,
                const BridgeOptions& options = {});

  pid_t pid() const { return m_process.pid(); }
  // Waits for the end (at most kChildTimeLimit, then the process is killed and the test fails),
  // reaps the process and answers how it ended.
  Outcome finish();

 private:
  TempDir m_capture;
  ChildProcess m_process;
};

// Runs the executable to its end.
Outcome runBridge(const std::vector<std::string>& args, const std::string& cwd,
                  const BridgeOptions& options = {});

// Saves a batch of two renders (a JPEG and a PNG, with their originals, all written into `dir`)
// into `dir`/out, which must exist, and answers the batch folder.
std::string saveTwoRenderBatch(const std::filesystem::path& dir);

// Starts the executable and sends it `signal` once it has read 64 MiB of `file` (one the test made
// large enough to be read for a while): the file's cached pages are dropped first, so that what is
// cached is what the process read. Answers how the process ended; cachedBytes(file) then tells
// how much of the file it read in all.
Outcome signalledWhileReading(const std::vector<std::string>& args, const std::string& cwd,
                              const std::string& file, int signal,
                              const BridgeOptions& options = {});

// Runs the executable once under each value of `resource` (RLIMIT_AS, RLIMIT_NOFILE, ...) from
// `lowest` to `highest` in `step`s, each run traced by its limit, and hands `judge` every run that
// got to start the program (too little even to load its libraries is no run) after checking that
// it ended by itself, never by a signal; the sweep ends early where `judge` answers false. Answers
// how many runs started.
int underEachLimit(int resource, rlim_t lowest, rlim_t highest, rlim_t step,
                   const std::function<Outcome(const BridgeOptions&)>& run,
                   const std::function<bool(const Outcome&)>& judge);

// The lowest value of `resource` from `lowest` to `highest`, to `resolution`, under which the
// executable starts at all (RLIMIT_AS: loading its libraries takes most of it), bisected with runs
// of --version, which do next to nothing once started. It must start under `highest`.
rlim_t lowestLimitToStart(int resource, rlim_t lowest, rlim_t highest, rlim_t resolution);

// Runs the executable under a few values of `resource` between the program's floor and `highest`
// where underEachLimit would run every one, all the floor plus whole `resolution`s: the floor
// itself (from lowestLimitToStart, moved to where this run just starts and not one step lower),
// values at twice the distance from the floor each time until one succeeds (status 0), which are
// dense just above the floor and spread wider further up, a bisection from there for the first
// value that succeeds (the run one step below it failed), and two values at random between the
// floor and that first success. Running short begins at the floor and ends at that first
// success, and the runs next to both meet what the program needs first and last. Each run is
// traced by its limit, and every run that started goes to `judge` after the check that it ended
// by itself, as in underEachLimit. Answers how many runs started.
int acrossLimits(int resource, rlim_t floor, rlim_t highest, rlim_t resolution,
                 const std::function<Outcome(const BridgeOptions&)>& run,
                 const std::function<void(const Outcome&)>& judge);

// A request of 500 pairs of `original` and `render`, whose identifiers are all "/" (which a
// manifest writes as "\/", doubling it) padded to just under the largest request there may be.
std::string largestRequest(const std::string& original, const std::string& render);

}  // namespace quillmere::testing
