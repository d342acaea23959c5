#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "inspect/image_info.h"
#include "platform/file_system.h"
#include "records/records.h"
#include "transfer/batch_context.h"
#include "transfer/batch_progress.h"
#include "transfer/manifest.h"
#include "transfer/pair_reads.h"
#include "transfer/second_thread.h"
#include "transfer/staging_folder.h"

namespace quillmere {

// A staged copy on its way to the disk: kept open until it has been flushed and read back. Its
// render stays open beside it, so that a copy that reads back otherwise can be told from a render
// changed underneath.
struct StagedCopy {
  OpenFile file;
  std::size_t pair = 0;
  std::uint64_t size = 0;
  std::string sha256;  // the render's, as hashed before the copy
  OpenFile render;
  ImageInfo image;  // the render's description, as inspected
  // The copy opened again past the page cache, once flushed; none where the file system reads
  // only through its cache.
  std::optional<UncachedFile> uncached;
};

struct StagedItem {
  ManifestItem item;
  // The copy still to be flushed and proven from the medium; none when that is done already.
  std::optional<StagedCopy> copy;
};

// Copies a pair's render into the staging folder under a fresh name, proves that the original did
// not change, and assembles its manifest item; the copy is left to be flushed and proven from the
// medium (proveCopy). Runs on the batch's thread; with the batch's `split` thread (a lone large
// pair, which has nothing else to overlap with), the copy is flushed and proven at once, beside
// the original's second hash on the other thread. The pair's `subject` learns which file a
// failure concerns (none when the destination is at fault), and its `storedFile` the copy that
// the destination did not keep as written.
StagedItem finishPair(const BatchContext& batch, PairInFlight& pair, PairReads& reads);

}  // namespace quillmere
