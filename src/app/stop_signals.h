#pragma once

#include <signal.h>

#include <atomic>

namespace quillmere {

// While it lives, SIGTERM, SIGINT and SIGHUP no longer end the process: each one sets the flag
// that requested() reads and a running batch polls at every chunk, rolling back when it is set.
// SIGPIPE and SIGXFSZ are ignored, so that writing into a closed pipe or past the file-size limit
// fails with EPIPE or EFBIG, and is reported and rolled back like any other failed write, instead
// of killing the process midway.
//
// The handler only stores into a lock-free atomic flag, which is async-signal-safe, and needs no
// thread or descriptor: a stop is heard even when the process can start neither. Interrupted
// system calls are restarted, and every read and write here retries EINTR anyway.
//
// One at a time per process: the flag a handler can reach has to be a single static one.
// On destruction the previous dispositions are restored.
class StopSignals {
 public:
  StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
  ~StopSignals();

  // The flag the handler sets; may be read from any thread.
  const std::atomic<bool>& flag() const;
  bool requested() const { return flag().load(std::memory_order_relaxed); }

 private:
  struct sigaction m_previousTerm {};
  struct sigaction m_previousInt {};
  struct sigaction m_previousHup {};
  struct sigaction m_previousPipe {};
  struct sigaction m_previousFileSize {};
};

}  // namespace quillmere
