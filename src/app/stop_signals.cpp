#include "app/stop_signals.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace quillmere {

namespace {

struct sigaction ignored() {
  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  return action;
}

}  // namespace

StopSignals::StopSignals() {
  sigemptyset(&m_stopSignals);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&m_stopSignals, signal);
  pthread_sigmask(SIG_BLOCK, &m_stopSignals, &m_previousMask);
  const struct sigaction ignore = ignored();
  sigaction(SIGPIPE, &ignore, &m_previousPipe);
  sigaction(SIGXFSZ, &ignore, &m_previousFileSize);

  m_signals = UniqueFd(::signalfd(-1, &m_stopSignals, SFD_NONBLOCK | SFD_CLOEXEC));
  m_finished = UniqueFd(::eventfd(0, EFD_CLOEXEC));
  if (m_signals && m_finished) {
    try {
      m_watcher = std::thread([this] { watch(); });
    } catch (const std::system_error&) {
      // No thread left to watch with; handled below like a missing descriptor.
    }
  }
  if (!m_watcher.joinable()) {
    // Nobody would read the blocked signals: let them end the process as they always did.
    pthread_sigmask(SIG_SETMASK, &m_previousMask, nullptr);
    m_signals = UniqueFd();
  }
}

StopSignals::~StopSignals() {
  if (m_watcher.joinable()) {
    const std::uint64_t one = 1;
    while (::write(m_finished.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
    m_watcher.join();
  }
  if (m_signals) {
    // Signals that came after the watcher ended would be delivered, with their default effect of
    // ending the process, as soon as the mask is restored. They are consumed instead: the batch
    // they would have stopped is over, and its result is already written.
    signalfd_siginfo info{};
    while (::read(m_signals.get(), &info, sizeof info) == sizeof info) {
    }
    pthread_sigmask(SIG_SETMASK, &m_previousMask, nullptr);
  }
  sigaction(SIGPIPE, &m_previousPipe, nullptr);
  sigaction(SIGXFSZ, &m_previousFileSize, nullptr);
}

void StopSignals::watch() {
  pollfd watched[2] = {{m_signals.get(), POLLIN, 0}, {m_finished.get(), POLLIN, 0}};
  for (;;) {
    if (::poll(watched, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;  // cannot watch any more; the signals stay blocked until the batch is over
    }
    if (watched[1].revents != 0) return;
    if (watched[0].revents != 0) {
      signalfd_siginfo info{};
      while (::read(m_signals.get(), &info, sizeof info) == sizeof info) m_source.request_stop();
    }
  }
}

}  // namespace quillmere
