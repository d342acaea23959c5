#include "app/stop_signals.h"

namespace quillmere {

namespace {

// A signal handler has no context to reach anything else through, so the one flag it sets is
// static. Lock-free, so storing into it from a handler is safe.
std::atomic<bool> g_stopRequested = false;
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void onStopSignal(int) { g_stopRequested.store(true, std::memory_order_relaxed); }

struct sigaction actionOf(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  return action;
}

}  // namespace

StopSignals::StopSignals() {
  g_stopRequested.store(false, std::memory_order_relaxed);
  const struct sigaction stop = actionOf(onStopSignal);
  sigaction(SIGTERM, &stop, &m_previousTerm);
  sigaction(SIGINT, &stop, &m_previousInt);
  sigaction(SIGHUP, &stop, &m_previousHup);
  const struct sigaction ignore = actionOf(SIG_IGN);
  sigaction(SIGPIPE, &ignore, &m_previousPipe);
  sigaction(SIGXFSZ, &ignore, &m_previousFileSize);
}

StopSignals::~StopSignals() {
  sigaction(SIGTERM, &m_previousTerm, nullptr);
  sigaction(SIGINT, &m_previousInt, nullptr);
  sigaction(SIGHUP, &m_previousHup, nullptr);
  sigaction(SIGPIPE, &m_previousPipe, nullptr);
  sigaction(SIGXFSZ, &m_previousFileSize, nullptr);
}

const std::atomic<bool>& StopSignals::flag() const { return g_stopRequested; }

}  // namespace quillmere
