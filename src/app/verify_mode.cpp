#include "app/verify_mode.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string_view>
#include <system_error>

#include "app/result_file.h"
#include "app/stop_signals.h"
#include "platform/file_operations.h"
#include "platform/paths.h"
#include "records/records.h"
#include "verify/verify_batch.h"
#include "verify/verify_report.h"

namespace quillmere {

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
    char megabytes[32];
    std::snprintf(megabytes, sizeof megabytes, "%.1f",
                  static_cast<double>(progress.bytesDone) / (1024.0 * 1024.0));
    std::string line = "\r正在核对：";
    if (progress.fileCount > 0) {
      line += std::to_string(progress.filesDone) + " / " + std::to_string(progress.fileCount) +
              " 个文件，";
    }
    line += "已读 " + std::string(megabytes) + " MB\033[K";
    writeErrorLine(line);
  }

 private:
  bool m_shown;
  bool m_drawn = false;
  std::chrono::steady_clock::time_point m_last;
};

// Whether saving the result at `resultPath` would create or replace a file inside the folder
// being verified (the result file itself, or the temporary file it is written through). Decided
// by the identity of the folders, so another spelling of the path or a link to either is caught.
// Where nothing can be examined, writing (or verifying) decides.
bool resultLandsInFolder(const std::string& folderPath, const std::string& resultPath,
                         FileSystem& fs) {
  try {
    const WriteTarget target = writeTargetOf(fileLocation(resultPath), fs);
    if (target.mode != WriteMode::replace) return false;  // written into, never created there
    const std::string parent = target.path.substr(0, target.path.rfind('/'));
    return sameFile(fs.status(parent.empty() ? "/" : parent), fs.status(fileLocation(folderPath)));
  } catch (const std::system_error&) {
    return false;
  }
}

bool writeOut(std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(STDOUT_FILENO, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

int runVerifyMode(const std::string& folderPath, const std::optional<std::string>& resultPath,
                  FileSystem& fs) {
  if (resultPath && resultLandsInFolder(folderPath, *resultPath, fs)) {
    writeErrorLine(kResultInsideFolderLine);
    return 2;
  }
  // Where the answer goes is settled now and held: a link put in its place while the batch is read
  // cannot lead it into the batch.
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

  // Held until the answer is out: a stop meanwhile changes nothing any more, and a closed pipe
  // on standard output fails the write instead of ending the process.
  const StopSignals signals;
  VerifyReport report;
  bool stopped = false;
  {
    ProgressLine progressLine;
    VerifyObserver observer;
    observer.stopFlag = &signals.flag();
    if (progressLine.shown()) {
      observer.progress = [&](const VerifyProgress& progress) { progressLine.show(progress); };
    }
    try {
      report = verifyBatch(folderPath, fs, &observer);
    } catch (const BridgeFailure& failure) {
      stopped = failure.message() == kVerifyStoppedMessage;
      report = VerifyReport{false, 0, {{folderPath, failure.message()}}};
    } catch (...) {
      // The process itself failed (memory ran out, say): the folder was not read as a batch.
      report = VerifyReport{false, 0, {{folderPath, describe(std::current_exception())}}};
    }
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
    } catch (...) {
      writeErrorLine(kCannotSaveVerifyResultLine);
      return 2;
    }
    return status;
  }
  const std::string text =
      stopped ? std::string(kVerifyStoppedMessage) + "\n" : verifyReportText(report);
  if (!writeOut(text)) {
    writeErrorLine(kCannotPrintVerifyReportLine);
    return 2;
  }
  return status;
}

}  // namespace quillmere
