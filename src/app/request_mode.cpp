#include "app/request_mode.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <vector>

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

// The request's originals and renders as they are before the batch: the result must never land
// on one of them, which would replace the photo it describes.
ResultBounds inputsOf(const BatchRequest& request, FileSystem& fs) {
  std::vector<std::string> paths;
  paths.reserve(2 * request.items.size());
  for (const Pair& pair : request.items) {
    paths.push_back(pair.sourcePath);
    paths.push_back(pair.renderPath);
  }
  return ResultBounds{identitiesOf(paths, fs), std::nullopt};
}

// Whether the result, written where it was found to go, would land on one of the inputs (the
// same device and inode, whatever links lead there). Where nothing can be examined, writing
// decides.
bool resultWouldReplaceAnInput(ResultFile& resultFile, const ResultBounds& bounds) {
  const std::optional<FileStatus> target = resultFile.currentTarget();
  return target && std::any_of(bounds.inputs.begin(), bounds.inputs.end(),
                               [&](const FileStatus& input) { return sameFile(input, *target); });
}

// Memory held back from the start and given up when memory runs out, so that the answer (the
// result's text, its file) can still be made.
constexpr std::size_t kAnswerReserve = 1 << 20;

int answerRequest(const std::string& requestPath, const std::string& resultPath, FileSystem& fs) {
  // Never touched, so it costs address space but no memory; its address is kept where the
  // compiler cannot drop it, or the allocation could be optimised away.
  auto reserve = std::make_unique_for_overwrite<std::byte[]>(kAnswerReserve);
  std::byte* volatile held = reserve.get();
  static_cast<void>(held);
  const auto failed = [&] {
    try {
      throw;
    } catch (const std::bad_alloc&) {
      reserve.reset();
    } catch (...) {
      // Any other failure needs no memory given up: failureResult puts it into words as it is.
    }
    return failureResult();
  };

  // The request is read before the stop signals are taken over: waiting for a FIFO's writer or a
  // pipe's end may take as long as the caller likes, and a signal meanwhile must still end the
  // process at once. Nothing has been written by then, so there is nothing to roll back.
  std::optional<BatchRequest> request;
  BatchResult result;
  try {
    request = readRequest(requestPath, fs);
  } catch (...) {
    result = failed();
  }
  // Where the result goes is settled now, before the batch, and held to the end: a link put in
  // its place meanwhile cannot lead it onto an original.
  ResultFile resultFile(resultPath, fs);
  ResultBounds bounds;
  if (request) {
    bounds = inputsOf(*request, fs);
    if (resultWouldReplaceAnInput(resultFile, bounds)) {
      writeErrorLine(kCannotSaveResultLine);
      return 2;
    }
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
      result = failed();
    }
  }
  request.reset();  // the request's memory is the result's to use now
  try {
    if (resultFile.save(toJson(result), bounds) == ResultSaved::refused) {
      writeErrorLine(kCannotSaveResultLine);
      return 2;
    }
  } catch (...) {
    writeErrorLine(kCannotSaveResultLine);
    return 2;
  }
  return result.error ? 1 : 0;
}

}  // namespace

int runRequestMode(const std::string& requestPath, const std::string& resultPath,
                   FileSystem& fs) {
  try {
    return answerRequest(requestPath, resultPath, fs);
  } catch (...) {
    // Only running out of memory gets here (before the reserve was taken, or while a failure was
    // put into words): no result can be made, so none is written.
    writeErrorLine(kCannotSaveResultLine);
    return 2;
  }
}

}  // namespace quillmere
