#include "picture_worker/picture_workers.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <functional>
#include <future>
#include <thread>

extern char** environ;

namespace quillmere {

namespace {

// The time a finished picture takes to travel back, beyond the job's own time.
constexpr std::chrono::milliseconds kAnswerGrace{250};

// A worker's exit status when it could not become a worker: the window died before it could
// follow it, or the program could not be executed.
constexpr int kNotStarted = 127;

// What the forked child needs, all made before the fork: after it, in a copy of a process with
// many threads, the child may only make system calls until it executes the program.
struct WorkerLaunch {
  const char* program;
  char* const* arguments;
  int devNull;
  int channel;
};

}  // namespace

class PictureWorkers::Launcher {
 public:
  Launcher() : m_thread([this] { serve(); }) {}
  Launcher(const Launcher&) = delete;
  Launcher& operator=(const Launcher&) = delete;
  // Once every worker it started has been discarded: any left would be killed with this thread.
  ~Launcher() {
    {
      const std::lock_guard lock(m_mutex);
      m_ending = true;
    }
    m_wanted.notify_one();
    m_thread.join();
  }

  // Forks and executes a worker on the launcher's thread: its pid, or -1.
  pid_t launch(const WorkerLaunch& launch) {
    std::packaged_task<pid_t()> task([this, &launch] { return forkWorker(launch); });
    std::future<pid_t> pid = task.get_future();
    {
      const std::lock_guard lock(m_mutex);
      m_tasks.push_back(std::move(task));
    }
    m_wanted.notify_one();
    return pid.get();
  }

 private:
  void serve() {
    // The mask the workers start with is that of the thread that made the pool; this thread then
    // takes no signal at all, so none runs a window's handler in a child between fork and exec.
    sigset_t all;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &m_workerMask);
    for (;;) {
      std::packaged_task<pid_t()> task;
      {
        std::unique_lock lock(m_mutex);
        m_wanted.wait(lock, [this] { return m_ending || !m_tasks.empty(); });
        if (m_tasks.empty()) return;
        task = std::move(m_tasks.front());
        m_tasks.pop_front();
      }
      task();
    }
  }

  pid_t forkWorker(const WorkerLaunch& launch) const {
    const pid_t window = ::getpid();
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    // The worker dies with the window. Asked for first thing; the window may have died already,
    // between the fork and this line, and its signal then never comes: the worker, handed to
    // another parent, sees it and ends.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != window) ::_exit(kNotStarted);
    // Handlers are the window's: back to the defaults before any signal may arrive, as exec
    // would leave them.
    for (int signal = 1; signal < NSIG; ++signal) {
      struct sigaction action {};
      if (::sigaction(signal, nullptr, &action) == 0 && action.sa_handler != SIG_DFL &&
          action.sa_handler != SIG_IGN) {
        action.sa_handler = SIG_DFL;
        action.sa_flags = 0;
        ::sigaction(signal, &action, nullptr);
      }
    }
    ::pthread_sigmask(SIG_SETMASK, &m_workerMask, nullptr);
    if (::dup2(launch.devNull, STDIN_FILENO) < 0 || ::dup2(launch.devNull, STDOUT_FILENO) < 0 ||
        ::dup2(launch.devNull, STDERR_FILENO) < 0 ||
        ::dup2(launch.channel, kPictureChannelFd) < 0) {
      ::_exit(kNotStarted);
    }
    ::execve(launch.program, launch.arguments, environ);
    ::_exit(kNotStarted);
  }

  std::mutex m_mutex;
  std::condition_variable m_wanted;
  std::deque<std::packaged_task<pid_t()>> m_tasks;
  bool m_ending = false;
  sigset_t m_workerMask{};
  // Last, so it starts once the rest is ready.
  std::thread m_thread;
};

int pictureWorkersPerMachine() {
  return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

PictureWorkers::PictureWorkers(Options options)
    : m_options(std::move(options)), m_launcher(std::make_unique<Launcher>()) {}

PictureWorkers::~PictureWorkers() {
  // Each start it makes is bounded by the start limit.
  if (m_starter.joinable()) m_starter.join();
  const std::lock_guard lock(m_mutex);
  for (Worker& worker : m_idle) discard(worker);
}

int PictureWorkers::startedCount() const {
  const std::lock_guard lock(m_mutex);
  return m_started;
}

int PictureWorkers::runningCount() const {
  const std::lock_guard lock(m_mutex);
  return m_running;
}

int PictureWorkers::lostCount() const {
  const std::lock_guard lock(m_mutex);
  return m_lost;
}

PictureWorkers::Worker PictureWorkers::start() {
  int ends[2] = {-1, -1};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return {};
  UniqueFd ours(ends[0]);
  // Above the worker's own descriptor number, so moving it there always clears close-on-exec.
  UniqueFd theirs(::fcntl(ends[1], F_DUPFD_CLOEXEC, kPictureChannelFd + 1));
  ::close(ends[1]);
  if (!theirs) return {};

  // Above the standard descriptors and the channel's number, so the child's dup2 calls never
  // overwrite one they still need.
  UniqueFd devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
  if (!devNull) return {};
  UniqueFd highDevNull(::fcntl(devNull.get(), F_DUPFD_CLOEXEC, kPictureChannelFd + 1));
  if (!highDevNull) return {};
  devNull.reset();

  std::string flag(kPictureWorkerFlag);
  std::string program = m_options.program;
  char* arguments[] = {program.data(), flag.data(), nullptr};
  const pid_t pid = m_launcher->launch({program.c_str(), arguments, highDevNull.get(), theirs.get()});
  if (pid < 0) return {};
  theirs.reset();
  Worker worker{pid, std::move(ours)};
  if (!receiveReady(worker.channel.get(),
                    std::chrono::steady_clock::now() + m_options.startLimit)) {
    discard(worker);
    return {};
  }
  return worker;
}

void PictureWorkers::startAhead() {
  if (m_starter.joinable()) return;
  m_starter = std::thread([this] {
    for (;;) {
      {
        const std::lock_guard lock(m_mutex);
        if (m_running >= std::max(1, m_options.maxWorkers)) return;
        ++m_running;
        ++m_started;
      }
      Worker worker = startInPlace();
      if (worker.pid < 0) return;
      release(std::move(worker));
    }
  });
}

PictureWorkers::Worker PictureWorkers::acquire() {
  {
    std::unique_lock lock(m_mutex);
    m_freed.wait(
        lock, [this] { return !m_idle.empty() || m_running < std::max(1, m_options.maxWorkers); });
    if (!m_idle.empty()) {
      Worker worker = std::move(m_idle.back());
      m_idle.pop_back();
      return worker;
    }
    // A place is taken before the slow start, so no other caller starts one too many.
    ++m_running;
    ++m_started;
  }
  return startInPlace();
}

PictureWorkers::Worker PictureWorkers::startInPlace() {
  Worker worker = start();
  if (worker.pid < 0) givePlaceBack();
  return worker;
}

void PictureWorkers::givePlaceBack(bool lost) {
  const std::lock_guard lock(m_mutex);
  --m_running;
  if (lost) ++m_lost;
  m_freed.notify_one();
}

void PictureWorkers::release(Worker worker) {
  const std::lock_guard lock(m_mutex);
  m_idle.push_back(std::move(worker));
  m_freed.notify_one();
}

int PictureWorkers::discard(Worker& worker) {
  int endSignal = 0;
  if (worker.pid > 0) {
    // Killing one that already died is harmless: it is not reaped yet, so its pid is not reused.
    ::kill(worker.pid, SIGKILL);
    int status = 0;
    while (::waitpid(worker.pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status)) endSignal = WTERMSIG(status);
  }
  worker.channel.reset();
  worker.pid = -1;
  return endSignal;
}

PictureWorkers::Result PictureWorkers::make(int fileFd, const PictureJob& job) {
  Result result;
  Worker worker = acquire();
  if (worker.pid < 0) return result;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(job.timeLimitMs) + kAnswerGrace;
  if (sendPictureJob(worker.channel.get(), fileFd, job) &&
      receivePicture(worker.channel.get(), job, deadline, result.picture)) {
    result.outcome = result.picture.empty() ? Outcome::none : Outcome::picture;
    release(std::move(worker));
    return result;
  }
  result.picture = {};
  result.endSignal = discard(worker);
  result.workerLost = true;
  givePlaceBack(true);
  return result;
}

}  // namespace quillmere
