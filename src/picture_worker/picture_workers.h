#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "picture_worker/picture_channel.h"
#include "platform/unique_fd.h"

namespace quillmere {

// The window's picture processes. Files are decoded only in workers: the same executable started
// in its hidden worker mode, sandboxed before it reads a job. Each job hands a worker an open,
// read-only descriptor, never a path, and reads back the pixels. A worker that does not answer
// within the job's time is killed and another started for the next job; a worker that crashes
// (or is killed by its filter) costs the file it was decoding its picture and nothing else. At
// most `maxWorkers` run at once; callers beyond that wait for one to be free. Thread-safe.
//
// No worker outlives the window: each is killed by the kernel (SIGKILL) the moment the process
// that owns this object dies, however it dies, even while the worker spins in a decoder. Workers
// are forked by a thread of this object's own that lives as long as it does, because a parent-death
// signal follows the thread that forked, not the process: a picture thread that ends when idle
// would take its workers with it.
class PictureWorkers {
 public:
  struct Options {
    // The executable to start in worker mode; by default the running one, even if its file has
    // been replaced or removed since.
    std::string program = "/proc/self/exe";
    int maxWorkers = 1;
    // How long a starting worker may take to load its decoders and be ready.
    std::chrono::milliseconds startLimit{10000};
  };

  enum class Outcome {
    picture,  // in `picture`
    none,     // the worker read the file and found no picture in it
    failed,   // the worker crashed, was killed for its time, or could not be started
  };
  struct Result {
    Outcome outcome = Outcome::failed;
    Picture picture;
    // For a failed job, the signal that ended its worker (SIGKILL for one out of time, SIGSYS for
    // one its filter stopped), 0 when it ended otherwise or could not be started.
    int endSignal = 0;
    // For a failed job, whether it cost a worker (counted in lostCount); not when none could be
    // started.
    bool workerLost = false;
  };

  explicit PictureWorkers(Options options);
  PictureWorkers(const PictureWorkers&) = delete;
  PictureWorkers& operator=(const PictureWorkers&) = delete;
  // Ends every worker; no job may be running.
  ~PictureWorkers();

  // The thread that forks every worker.
  class Launcher;

  // Starts every worker now, on a thread of its own, so the first pictures asked for do not wait
  // for workers to load their decoders. Once only.
  void startAhead();

  // The picture of the open file `fileFd` (left open; the worker gets its own copy), fitted into
  // the job's box. The job's time limit starts once a worker has it.
  Result make(int fileFd, const PictureJob& job);

  // How many workers have been started in all, how many run now, and how many were lost to a job
  // (crashed, killed for its time or by their filter) (for tests and benchmarks).
  int startedCount() const;
  int runningCount() const;
  int lostCount() const;

 private:
  struct Worker {
    pid_t pid = -1;
    UniqueFd channel;
  };

  Worker acquire();
  void release(Worker worker);
  // Kills and reaps; returns the signal that ended it, if any.
  int discard(Worker& worker);
  Worker start();
  // Starts a worker in a place already counted as running; gives the place back if it cannot.
  Worker startInPlace();
  void givePlaceBack(bool lost = false);

  const Options m_options;
  const std::unique_ptr<Launcher> m_launcher;
  mutable std::mutex m_mutex;
  std::condition_variable m_freed;
  std::vector<Worker> m_idle;
  int m_running = 0;  // idle and busy
  int m_started = 0;
  int m_lost = 0;
  std::thread m_starter;
};

// The most workers worth running on this machine: one per core.
int pictureWorkersPerMachine();

}  // namespace quillmere
