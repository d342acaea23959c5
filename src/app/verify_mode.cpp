#include "app/verify_mode.h"

#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <new>
#include <optional>
#include <string_view>
#include <system_error>

#include "app/request_mode.h"
#include "app/result_file.h"
#include "app/stop_signals.h"
#include "platform/file_operations.h"
#include "platform/paths.h"
#include "platform/system_error.h"
#include "records/records.h"
#include "verify/batch_manifest.h"
#include "verify/render_check.h"
#include "verify/verify_batch.h"
#include "verify/verify_report.h"

namespace quillmere {

// Every batch a request can make must be one --verify takes: the largest manifest a request
// under kLargestRequestFile bytes can make fits within what --verify reads.
static_assert(largestManifestOf(kLargestRequestFile) <= kLargestBatchManifest);

namespace {

// The line on a terminal's standard error that shows how far the check is, rewritten in place at
// most ten times a second and erased when the check ends.
class ProgressLine {
 public:
  ProgressLine() : m_shown(::isatty(STDERR_FILENO) == 1) {}
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;
  ~ProgressLine() {
    if (m_drawn) writeErrorLine("\r\033[K");
  }

  bool shown() const { return m_shown; }

  void show(const VerifyProgress& progress) {
    const auto now = std::chrono::steady_clock::now();
    if (m_drawn && now - m_last < std::chrono::milliseconds(100)) return;
    m_last = now;
    m_drawn = true;
    std::string line = "\r";
    line += verifyProgressText(progress);
    line += "\033[K";
    writeErrorLine(line);
  }

 private:
  bool m_shown;
  bool m_drawn = false;
  std::chrono::steady_clock::time_point m_last;
};

// How writing the answer to standard output ended.
enum class Written { all, failed, stopped };

// Whether standard output takes bytes now, without waiting.
bool outputReady() {
  pollfd ready{STDOUT_FILENO, POLLOUT, 0};
  int n;
  while ((n = ::poll(&ready, 1, 0)) < 0 && errno == EINTR) {
  }
  return n == 1 && (ready.revents & POLLOUT) != 0 && (ready.revents & (POLLERR | POLLHUP)) == 0;
}

// Writes `text` to standard output, never waiting where a stop cannot end the wait: standard
// output is waited for in ppoll, and the stop signals are let in only inside that wait, so a stop
// that came just before it ends it as surely as one that comes during it. Each write is then at
// most what a pipe with room takes at once, which does not wait. Once a stop is requested, only
// what standard output takes at once is still written. `written` counts the bytes that went out.
Written writeOut(std::string_view text, const StopSignals& signals, std::size_t& written) {
  sigset_t stops;
  sigemptyset(&stops);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&stops, signal);
  written = 0;
  while (written < text.size()) {
    sigset_t open;
    pthread_sigmask(SIG_BLOCK, &stops, &open);
    const bool stop = signals.requested();
    int waited = 0;
    if (!stop) {
      pollfd ready{STDOUT_FILENO, POLLOUT, 0};
      waited = ::ppoll(&ready, 1, nullptr, &open);
    }
    const int waitError = errno;
    pthread_sigmask(SIG_SETMASK, &open, nullptr);
    if (stop && !outputReady()) return Written::stopped;
    if (waited < 0) {
      if (waitError == EINTR) continue;  // a stop, looked at above
      return Written::failed;
    }
    const std::size_t length = std::min<std::size_t>(text.size() - written, PIPE_BUF);
    const ssize_t n = ::write(STDOUT_FILENO, text.data() + written, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Written::failed;
    written += static_cast<std::size_t>(n);
  }
  return Written::all;
}

// The line for a failure of the process itself, the check's own, not the batch's.
std::string cannotRunLine(const std::system_error& error) {
  return std::string(kVerifyCannotRunStart) + errnoText(error.code().value()) + "。\n";
}

}  // namespace

bool resultLandsBelowFolder(const std::string& folderPath, const std::string& resultPath,
                            FileSystem& fs) {
  try {
    const WriteTarget target = writeTargetOf(fileLocation(resultPath), fs);
    if (target.mode != WriteMode::replace) return false;  // written into, never created there
    const std::string parent = target.path.substr(0, target.path.rfind('/'));
    OpenFile resultFolder = fs.openDirectory(parent.empty() ? "/" : parent);
    return isAtOrBelow(resultFolder, fs.status(fileLocation(folderPath)), fs);
  } catch (const std::system_error&) {
    return false;
  }
}

int runVerifyMode(const std::string& folderPath, const std::optional<std::string>& resultPath,
                  FileSystem& fs) {
  try {
    if (resultPath && resultLandsBelowFolder(folderPath, *resultPath, fs)) {
      writeErrorLine(kResultInsideFolderLine);
      return 2;
    }
    // Where the answer goes is settled now and held: a link put in its place while the batch is
    // read cannot lead it into the batch.
    std::optional<ResultFile> resultFile;
    ResultBounds bounds;
    if (resultPath) {
      resultFile.emplace(*resultPath, fs);
      try {
        bounds.enclosingFolder = fs.status(fileLocation(folderPath));
      } catch (const std::system_error&) {
        // Not a folder to be read; the check says so, and the answer may go anywhere.
      }
    }

    // Held until the answer is out: a stop then still ends a write that would wait, and a closed
    // pipe on standard output fails the write instead of ending the process.
    const StopSignals signals;
    VerifyReport report;
    bool stopped = false;
    std::optional<std::string> cannotRun;
    {
      ProgressLine progressLine;
      VerifyObserver observer;
      observer.stopFlag = &signals.flag();
      if (progressLine.shown()) {
        observer.progress = [&](const VerifyProgress& progress) { progressLine.show(progress); };
      }
      try {
        report = verifyBatch(folderPath, fs, &observer);
      } catch (const Stopped& stop) {
        stopped = true;
        report = VerifyReport{false, 0, {{folderPath, stop.message()}}};
      } catch (const BridgeFailure& failure) {
        report = VerifyReport{false, 0, {{folderPath, failure.message()}}};
      } catch (const std::bad_alloc&) {
        throw;
      } catch (const std::system_error& error) {
        if (isProcessFailure(error.code())) {
          // No descriptor or kernel memory left for the check: nothing is known of the batch.
          cannotRun = cannotRunLine(error);
        } else {
          report = VerifyReport{false, 0, {{folderPath, describe(error)}}};
        }
      } catch (...) {
        // Anything else the process met: the folder was not read as a batch.
        report = VerifyReport{false, 0, {{folderPath, describe(std::current_exception())}}};
      }
    }  // the progress line is erased before anything else is written
    if (cannotRun) {
      writeErrorLine(*cannotRun);
      return 2;
    }
    const int status = stopped || (report.isBatch && !report.problems.empty()) ? 1
                       : report.isBatch                                        ? 0
                                                                               : 2;
    if (resultFile) {
      try {
        if (resultFile->save(verifyResultJson(report), bounds) == ResultSaved::refused) {
          writeErrorLine(kResultInsideFolderLine);
          return 2;
        }
      } catch (const std::bad_alloc&) {
        throw;
      } catch (...) {
        writeErrorLine(kCannotSaveVerifyResultLine);
        return 2;
      }
      return status;
    }
    const std::string text =
        stopped ? std::string(kVerifyStoppedMessage) + "\n" : verifyReportText(report);
    std::size_t written = 0;
    switch (writeOut(text, signals, written)) {
      case Written::all:
        return status;
      case Written::failed:
        writeErrorLine(kCannotPrintVerifyReportLine);
        return 2;
      case Written::stopped:
        break;
    }
    // Stopped while the answer was going out: the stop message after it, on a line of its own,
    // if standard output still takes it without waiting.
    const bool midLine = written > 0 && text[written - 1] != '\n';
    const std::string message = (midLine ? "\n" : "") + std::string(kVerifyStoppedMessage) + "\n";
    std::size_t messageWritten = 0;
    if (outputReady() && writeOut(message, signals, messageWritten) == Written::all) return 1;
    writeErrorLine(kCannotPrintVerifyReportLine);
    return 2;
  } catch (const std::bad_alloc&) {
    writeErrorLine(kVerifyOutOfMemoryLine);
    return 2;
  } catch (const std::system_error& error) {
    writeErrorLine(cannotRunLine(error));
    return 2;
  }
}

}  // namespace quillmere
