#include "app/request_mode.h"

#include <unistd.h>

#include <cstring>
#include <string_view>

#include "platform/file_operations.h"
#include "platform/paths.h"
#include "records/json.h"
#include "transfer/create_batch.h"

namespace quillmere {

namespace {

BatchResult runBatch(const std::string& requestPath, FileSystem& fs) {
  try {
    // Reading stops at the limit, so a huge file is refused without being held in memory.
    const std::string bytes = readWholeFile(fileLocation(requestPath), fs, kLargestRequestFile);
    if (bytes.size() >= kLargestRequestFile) throw BridgeFailure(kTooManyPhotosMessage);
    return createBatch(batchRequestFromJson(bytes), fs);
  } catch (...) {
    return BatchResult{std::nullopt, 0, describe(std::current_exception())};
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
  const BatchResult result = runBatch(requestPath, fs);
  std::string target;
  try {
    target = fileLocation(resultPath);
    replaceAtomically(target, toJson(result), fs);
  } catch (...) {
    reportUnsavedResult();
    return 2;
  }
  try {
    syncParentDirectory(target, fs);
  } catch (...) {
    // The new result has already replaced any earlier file, whole, and the caller can read it;
    // answering "not saved" now would be untrue. Only whether the replacement survives a power
    // cut is in doubt, and nothing here can mend that.
  }
  return result.error ? 1 : 0;
}

}  // namespace quillmere
