#include "app/result_file.h"

#include <unistd.h>

#include <cerrno>

#include "app/leftover_results.h"
#include "platform/file_operations.h"
#include "platform/paths.h"

namespace quillmere {

void saveResultFile(const std::string& resultPath, std::string_view json, FileSystem& fs) {
  const WriteTarget target = writeTargetOf(fileLocation(resultPath), fs);
  if (target.mode != WriteMode::replace) {
    writeInto(target, json, fs);
    return;
  }
  replaceClearingLeftovers(target.path, json, fs);  // leftover results: clears dead writers' files
  try {
    syncParentDirectory(target.path, fs);
  } catch (...) {
    // The new result has already replaced any earlier file, whole, and the caller can read it;
    // answering "not saved" now would be untrue. Only whether the replacement survives a power
    // cut is in doubt, and nothing here can mend that.
  }
}

void writeErrorLine(std::string_view line) {
  std::size_t written = 0;
  while (written < line.size()) {
    const ssize_t n = ::write(STDERR_FILENO, line.data() + written, line.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    written += static_cast<std::size_t>(n);
  }
}

}  // namespace quillmere
