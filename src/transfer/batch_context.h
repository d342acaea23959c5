#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "platform/file_system.h"
#include "records/records.h"
#include "transfer/batch_progress.h"
#include "transfer/create_batch.h"
#include "transfer/second_thread.h"
#include "transfer/staging_folder.h"

namespace quillmere {

// What a batch carries from pair to pair: the same for every pair, and read by both of the batch's
// threads, never written by them.
struct BatchContext {
  const BatchRequest& request;
  const std::string& fingerprint;  // the catalog's, as its manifest items name it
  StagingFolder& staging;
  FileSystem& fs;
  // The second thread a lone pair splits its reads and its copy's proof over; none when the
  // batch has more pairs, each thread then having pairs of its own.
  SecondThread* split = nullptr;
};

// One pair on its way through a batch, on the thread that took it: which pair, where the chunks
// it reads on this thread and on the other are counted, and what it blames when it fails.
struct PairInFlight {
  std::size_t index = 0;
  ChunkHook here;
  ChunkHook elsewhere;
  // Which file of the pair a failure concerns (none when the destination is at fault) ...
  BatchSubject subject = BatchSubject::none;
  // ... and the copy that the destination did not keep as written, when that is the failure.
  std::optional<std::string> storedFile;
};

}  // namespace quillmere
