#pragma once

#include <signal.h>

#include <stop_token>
#include <thread>

#include "platform/unique_fd.h"

namespace quillmere {

// While it lives, SIGTERM, SIGINT and SIGHUP no longer end the process: each one requests a stop
// through token(), which a running batch honours by rolling back. SIGPIPE and SIGXFSZ are ignored,
// so that writing into a closed pipe or past the file-size limit fails with EPIPE or EFBIG, and is
// reported and rolled back like any other failed write, instead of killing the process midway.
//
// No handler runs in signal context: the three signals are blocked and a watcher thread reads
// them from a signalfd. Create it on the main thread before any other thread exists, since only
// threads created afterwards inherit the blocked mask; a thread that did not block them could be
// picked to receive a signal, which would then end the process as before.
//
// Should the watcher not start (no descriptors or threads left), the three signals keep their
// usual effect: ending the process is better than a process that cannot be stopped.
//
// On destruction the watcher ends, signals that arrived meanwhile are taken as a stop that came
// too late (the batch is over, its result decided), and the mask and dispositions are restored.
class StopSignals {
 public:
  StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
  ~StopSignals();

  std::stop_token token() const { return m_source.get_token(); }

 private:
  void watch();

  std::stop_source m_source;
  sigset_t m_stopSignals{};
  sigset_t m_previousMask{};
  struct sigaction m_previousPipe {};
  struct sigaction m_previousFileSize {};
  UniqueFd m_signals;   // signalfd of the three stop signals
  UniqueFd m_finished;  // eventfd that tells the watcher to end
  std::thread m_watcher;
};

}  // namespace quillmere
