#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/file_system.h"
#include "records/records.h"
#include "transfer/batch_progress.h"
#include "transfer/manifest.h"
#include "transfer/pair_reads.h"
#include "transfer/second_thread.h"
#include "transfer/staging_folder.h"

namespace quillmere {

// A staged copy on its way to the disk: kept open until it has been flushed and read back.
struct StagedCopy {
  OpenFile file;
  std::size_t pair = 0;
  std::uint64_t size = 0;
  std::string sha256;
};

struct StagedItem {
  ManifestItem item;
  StagedCopy copy;
};

// Copies a pair's render into the staging folder under a fresh name, proves that the copy holds
// what was hashed and is described as the render was, and that the original did not change, and
// assembles its manifest item. Runs on the batch's thread; with `helper`, a large pair's two
// checking reads run side by side. `site` learns which file a failure concerns (none when the
// destination is at fault), and `storedFile` the copy that the destination did not keep as
// written.
StagedItem finishPair(PairReads& reads, const Pair& pair, std::size_t index,
                      StagingFolder& staging, const std::string& provider,
                      const std::string& fingerprint, FileSystem& fs, SecondThread* helper,
                      const ChunkHook& here, const ChunkHook& elsewhere, BatchSubject& site,
                      std::optional<std::string>& storedFile);

}  // namespace quillmere
