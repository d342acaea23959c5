#include "app/request_mode.h"

#include <unistd.h>

#include <cstring>
#include <optional>
#include <string_view>

#include "app/stop_signals.h"
#include "platform/file_operations.h"
#include "platform/paths.h"
#include "records/json.h"
#include "transfer/create_batch.h"

namespace quillmere {

namespace {

BatchRequest readRequest(const std::string& requestPath, FileSystem& fs) {
  // Reading stops at the limit, so a huge file, or an endless stream, is refused without being
  // held in memory.
  const std::string bytes = readWholeFile(fileLocation(requestPath), fs, kLargestRequestFile);
  if (bytes.size() >= kLargestRequestFile) throw BridgeFailure(kTooManyPhotosMessage);
  return batchRequestFromJson(bytes);
}

BatchResult failureResult() {
  return BatchResult{std::nullopt, 0, describe(std::current_exception())};
}

// Writes the result to what the result path names: the file at the end of its links is replaced
// atomically; a FIFO, a character device or the caller's own open file (/dev/stdout redirected to
// a file) is written into. Throws when the result is not saved.
void saveResult(const std::string& resultPath, const BatchResult& result, FileSystem& fs) {
  const WriteTarget target = writeTargetOf(fileLocation(resultPath), fs);
  if (target.mode != WriteMode::replace) {
    writeInto(target, toJson(result), fs);
    return;
  }
  replaceAtomically(target.path, toJson(result), fs);
  try {
    syncParentDirectory(target.path, fs);
  } catch (...) {
    // The new result has already replaced any earlier file, whole, and the caller can read it;
    // answering "not saved" now would be untrue. Only whether the replacement survives a power
    // cut is in doubt, and nothing here can mend that.
  }
}

void reportUnsavedResult() {
  const std::string_view line = kCannotSaveResultLine;
  std::size_t written = 0;
  while (written < line.size()) {
    const ssize_t n = ::write(STDERR_FILENO, line.data() + written, line.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nowhere left to tell anyone
    written += static_cast<std::size_t>(n);
  }
}

}  // namespace

bool isRequestMode(int argc, const char* const* argv) {
  return argc == 4 && std::strcmp(argv[1], "--request") == 0;
}

int runRequestMode(const std::string& requestPath, const std::string& resultPath,
                   FileSystem& fs) {
  // The request is read before the stop signals are taken over: waiting for a FIFO's writer or a
  // pipe's end may take as long as the caller likes, and a signal meanwhile must still end the
  // process at once. Nothing has been written by then, so there is nothing to roll back.
  std::optional<BatchRequest> request;
  BatchResult result;
  try {
    request = readRequest(requestPath, fs);
  } catch (...) {
    result = failureResult();
  }

  // From here on SIGTERM, SIGINT and SIGHUP stop the batch, which rolls back and is answered with
  // the stop message; one that comes while the result is written changes nothing any more.
  const StopSignals signals;
  if (request) {
    BatchObserver observer;
    observer.stopFlag = &signals.flag();
    try {
      result = createBatch(*request, fs, &observer);
    } catch (...) {
      result = failureResult();
    }
  }
  try {
    saveResult(resultPath, result, fs);
  } catch (...) {
    reportUnsavedResult();
    return 2;
  }
  return result.error ? 1 : 0;
}

}  // namespace quillmere
