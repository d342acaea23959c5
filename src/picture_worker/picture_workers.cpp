#include "picture_worker/picture_workers.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

extern char** environ;

namespace quillmere {

namespace {

// The time a finished picture takes to travel back, beyond the job's own time.
constexpr std::chrono::milliseconds kAnswerGrace{250};

struct SpawnActions {
  posix_spawn_file_actions_t actions{};
  SpawnActions() { posix_spawn_file_actions_init(&actions); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
};

}  // namespace

int pictureWorkersPerMachine() {
  return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

PictureWorkers::PictureWorkers(Options options) : m_options(std::move(options)) {}

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

  SpawnActions spawn;
  posix_spawn_file_actions_addopen(&spawn.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&spawn.actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&spawn.actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&spawn.actions, theirs.get(), kPictureChannelFd);
  std::string flag(kPictureWorkerFlag);
  std::string program = m_options.program;
  char* arguments[] = {program.data(), flag.data(), nullptr};
  pid_t pid = -1;
  if (::posix_spawn(&pid, program.c_str(), &spawn.actions, nullptr, arguments, environ) != 0) {
    return {};
  }
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
  givePlaceBack(true);
  return result;
}

}  // namespace quillmere
