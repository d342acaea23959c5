#include "app/request_mode.h"

#include <cstring>
#include <optional>
#include <string_view>

#include "app/result_file.h"
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
    saveResultFile(resultPath, toJson(result), fs);
  } catch (...) {
    writeErrorLine(kCannotSaveResultLine);
    return 2;
  }
  return result.error ? 1 : 0;
}

}  // namespace quillmere
