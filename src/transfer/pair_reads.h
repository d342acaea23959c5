#pragma once

#include <cstdint>
#include <string>

#include "inspect/image_info.h"
#include "platform/file_system.h"
#include "records/records.h"
#include "transfer/batch_progress.h"
#include "transfer/create_batch.h"
#include "transfer/batch_context.h"
#include "transfer/second_thread.h"

namespace quillmere {

inline constexpr std::int64_t kLargestRender = 536'870'912;  // 512 MiB, admitted

// The hash of an original or a render, of exactly the size its open saw: a file that ends sooner
// or holds more when read was changed by another program meanwhile (BridgeFailure
// kChangedDuringTransferMessage).
std::string hashOfAdmitted(OpenFile& file, FileSystem& fs, const ChunkHook& onChunk);

// Opens a file that admission has examined and insists on finding the very file it admitted: the
// same device, inode and size. Anything else was put there, or changed, since; nothing of it is
// read, so a huge file renamed onto the path costs nothing.
OpenFile openAdmitted(const std::string& path, const FileStatus& admitted, FileSystem& fs);

// What the reads of one pair found: everything its copy and the checks after it need.
struct PairReads {
  std::string original;
  FileStatus originalStatus;  // as admitted
  OpenFile render;  // the one descriptor the render is inspected, hashed and copied through
  std::int64_t renderSize = 0;
  std::string sourceSha256;
  ImageInfo image;
  std::string renderSha256;
  bool large = false;  // worth splitting the pair's two reads over two threads
};

// Checks, admits, inspects and hashes one pair, in this order: the pairing, the original's and
// the render's admission, the render's size as admission saw it, the original's hash, the
// render's description and hash. A failure is that of the first step that fails. The pair's
// `here` hears the chunks read on the calling thread, its `elsewhere` those read on the second
// thread; with the batch's `split` thread, a large pair's two reads run side by side, and their
// failures still come out in that order. The pair's `subject` learns which file a failure
// concerns.
PairReads readPair(const BatchContext& batch, PairInFlight& pair);

}  // namespace quillmere
