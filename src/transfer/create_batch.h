#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>

#include "platform/file_system.h"
#include "records/records.h"

namespace quillmere {

inline constexpr const char* kBatchSizeMessage = "每次请选择 1–500 张照片。";
inline constexpr const char* kChooseFolderAgainMessage = "请重新选择保存文件夹。";
inline constexpr const char* kPairingMissingMessage = "缺少照片对应关系，请重新选择原照片。";
inline constexpr const char* kRenderTooLargeMessage = "单张导出照片不能超过 512 MB。";
// The refusal of a render over the limit, a type of its own so that a place that words it its own
// way (the window) knows it without reading its message.
class RenderTooLarge : public BridgeFailure {
 public:
  RenderTooLarge() : BridgeFailure(kRenderTooLargeMessage) {}
};
inline constexpr const char* kChangedDuringTransferMessage =
    "照片在处理期间发生变化，请等导出完成后重试。";
// Raised when a caller asks a running batch to stop (the window quitting during a save).
inline constexpr const char* kBatchStoppedMessage = "保存已取消，未写入任何文件。";
// A stored copy or the manifest, read back from the destination's medium after its flush, is not
// what was written: the disk, the cable or the share is at fault, never the exporter.
inline constexpr const char* kMediumMismatchMessage =
    "保存位置未能如实写入照片，请检查磁盘或换一个保存文件夹。";

// Where a batch stands: checking and sizing its pairs, staging pair `item`, or writing the
// manifest and committing after the last pair.
enum class BatchPhase { preparing, staging, finishing };

// A destination that is a batch folder, or lies inside one: a batch saved there becomes a folder
// the earlier batch's manifest does not name, and that batch no longer verifies. The text names
// the batch folder and asks for the folder it sits in.
std::string insideBatchMessage(const std::string& batchFolder);

// Progress of one batch, as createBatch reports it to an optional observer.
struct BatchProgress {
  std::size_t item = 0;        // index of the pair being staged (in the staging phase)
  std::size_t itemCount = 0;   // pairs in the batch
  std::uint64_t bytesDone = 0;   // bytes read, hashed or copied so far
  std::uint64_t bytesTotal = 0;  // bytes the whole batch will read, hash or copy
  BatchPhase phase = BatchPhase::preparing;
};

// Which file of a pair a failure concerns, so that a report can name the file at fault.
enum class BatchSubject { none, original, render };

// Where a batch failed: the pair being staged (none for a failure of the request, the destination
// or the batch as a whole) and which of its files, when one of them is at fault.
struct BatchFailureSite {
  std::optional<std::size_t> item;
  BatchSubject subject = BatchSubject::none;
  // The file of the batch at fault, by the path it would have had once saved, when the failure
  // is the destination's (a copy or the manifest that its medium did not hold as written).
  std::optional<std::string> storedFile = std::nullopt;
};

// Hears a batch's progress; called on the thread running createBatch. Progress comes per chunk of
// a few MiB while files are read or copied. A stop requested through `stop` ends the batch with
// Stopped(kBatchStoppedMessage) after its roll-back, within one chunk. `failed`, when set,
// hears where the batch failed just before createBatch throws.
struct BatchObserver {
  std::function<void(const BatchProgress&)> progress;
  std::stop_token stop;
  std::function<void(const BatchFailureSite&)> failed;
  // A second way to ask for a stop, for a signal handler, which can set a lock-free flag but must
  // not touch a stop_source.
  const std::atomic<bool>* stopFlag = nullptr;
};

// Checks the request and its destination, builds the batch in a hidden staging folder inside the
// destination, and commits it with one rename that never overwrites. Returns the new batch folder
// and its item count, or throws (a BridgeFailure or a platform error) after removing the staging
// folder, leaving the destination as it was. Calls share nothing and may run concurrently.
BatchResult createBatch(const BatchRequest& request, FileSystem& fs = posixFileSystem(),
                        const BatchObserver* observer = nullptr);

}  // namespace quillmere
