#pragma once

#include <optional>
#include <string>

#include "platform/file_system.h"
#include "transfer/create_batch.h"

namespace quillmere {

// Where one batch is made: the destination as opened, and the names of the batch's folders.
struct BatchPlace {
  std::string destinationPath;
  OpenFile destination;
  FileStatus destinationStatus;
  std::string batchId;
  std::string batchName;    // what the staging folder is renamed to
  std::string batchPath;    // ... and where the caller will find it
  std::string stagingName;  // hidden until the commit
  std::string stagingPath;
};

// Opens the destination once for the whole batch and names the batch's folders after a new batch
// identifier. A destination inside a batch folder is refused with insideBatchMessage. Whatever
// keeps us from using the destination (a path that is not valid UTF-8,
// missing, not a folder, not readable so that its entries could not be made durable) is
// BridgeFailure(kChooseFolderAgainMessage), before anything is written.
BatchPlace placeBatch(const std::string& destination, FileSystem& fs);

// The batch folder that `destinationPath` is or lies in, or nothing: a "Quillmere-" folder holding
// a transfer manifest, or the hidden folder of a batch being made. Looked for along the path as
// given and, when `opened` is the destination's open folder, along the path the system has for it,
// so a link into a batch folder is found too. A folder that cannot be examined is passed on as
// the platform's error: whether it is a batch cannot be known, and a guess could break one.
std::optional<std::string> enclosingBatchFolder(const std::string& destinationPath, FileSystem& fs,
                                                OpenFile* opened = nullptr);

// Refuses with kChooseFolderAgainMessage unless the destination's path still leads to the folder
// that was opened: committed into a folder moved elsewhere (or behind a link repointed), the batch
// would be reported under a path where it is not.
void requireSameDestination(const BatchPlace& place, FileSystem& fs);

// Rethrows the failure being handled, with the staging folder's hidden path told as the batch
// folder's path, in the failure's paths and in `site`: the user reads of the folder they chose, and
// of the file they would find there. A failure of the destination's disk itself (full, over
// quota, read-only) on a file of the batch blames no pair and names the destination
// folder instead. Must be called from a catch block.
[[noreturn]] void rethrowNamingBatchFolder(const BatchPlace& place, BatchFailureSite& site);

}  // namespace quillmere
