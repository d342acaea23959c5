#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "records/records.h"
#include "support/child_process.h"
#include "support/failures.h"
#include "support/faulty_file_system.h"

namespace quillmere::testing {

// Names of the entries directly inside a folder, sorted.
std::vector<std::string> namesIn(const std::string& folder);

// Why `folder` is not a complete batch folder, or "" when it is one: a readable manifest whose
// "transferBatchId" is the folder's own identifier, `expectedItems` items, every render present
// with the digest the manifest gives it (and, where `renderDigests` names the render's position,
// that digest too), and nothing else in the folder.
std::string incompleteBatch(const std::string& folder, std::size_t expectedItems,
                            const std::vector<std::string>& renderDigests = {});

// Checks every "Quillmere-" folder directly inside `destination` with incompleteBatch and returns
// the problems found, one per line; "" when every batch folder there is complete.
std::string incompleteBatchesIn(const std::string& destination, std::size_t expectedItems,
                                const std::vector<std::string>& renderDigests = {});

// A PNG of a few pixels followed by `size` bytes in all: image inspection reads headers only, so
// this is a large, valid render that costs nothing to make.
std::string paddedPng(std::size_t size, int seed = 0);

// A request of `pairs` pairs of distinct renders (cycling through JPEG, PNG and TIFF) and
// originals written into `inputs`, saved into `destination`.
BatchRequest smallRequest(const std::string& inputs, const std::string& destination, int pairs);

// The path each call of each operation named during one undisturbed `run`, in call order.
using CallLog = std::map<FsOp, std::vector<std::string>>;
CallLog recordCalls(const std::function<void(FileSystem&)>& run);

// Runs `each` once per recorded call, in the order of the operations and then of their calls, with
// the operation, its index among the calls of that operation on the same path (from 1, as
// FaultyFileSystem counts when given the path) and the path, under a trace naming all three. The
// index is per path because a batch works on two threads: calls on different paths interleave
// differently from run to run, calls on one path never do. Stops after a fatal test failure, as a
// plain loop with ASSERT_* would.
void forEachCall(const CallLog& calls,
                 const std::function<void(FsOp op, int k, const std::string& path)>& each);

// Descriptors open in this process right now.
int openDescriptorCount();

// The real executable, started with `args` in `cwd`, its standard error going to `stderrPath`
// and its standard output to /dev/null. Killed when the returned owner goes, or the test process.
ChildProcess startBridge(const std::vector<std::string>& args, const std::string& cwd,
                         const std::string& stderrPath);

// Waits for a child (at most kChildTimeLimit, then it is killed and the test fails) and answers
// its exit status, or -signal when a signal ended it.
int waitForExit(ChildProcess& child);

// Runs `body` in a forked child and answers the child's peak resident memory in KiB (ru_maxrss
// from wait4). The child exits with 0 only if `body` returned true; `ok` reports that.
long peakMemoryOfChild(const std::function<bool()>& body, bool& ok);

// Standard error of this process, sent to a file while an object lives.
class StderrToFile {
 public:
  explicit StderrToFile(const std::string& path);
  StderrToFile(const StderrToFile&) = delete;
  StderrToFile& operator=(const StderrToFile&) = delete;
  ~StderrToFile();

 private:
  int m_saved;
};

}  // namespace quillmere::testing
