#include "transfer/pair_reads.h"

#include <algorithm>
#include <optional>
#include <system_error>
#include <utility>

#include "inspect/admission.h"
#include "inspect/digest.h"
#include "platform/paths.h"
#include "transfer/blame.h"

namespace quillmere {

namespace {

// Below this size a second thread costs more than it saves.
constexpr std::int64_t kParallelReadThreshold = 4 << 20;

}  // namespace

std::string hashOfAdmitted(OpenFile& file, FileSystem& fs, const ChunkHook& onChunk) {
  std::optional<std::string> hash =
      sha256OfSize(file, fs, static_cast<std::uint64_t>(file.status.size), onChunk);
  if (!hash) throw BridgeFailure(kChangedDuringTransferMessage);
  return std::move(*hash);
}

OpenFile openAdmitted(const std::string& path, const FileStatus& admitted, FileSystem& fs) {
  OpenFile file = fs.openForReading(path);
  if (!sameFile(file.status, admitted) || file.status.size != admitted.size) {
    throw BridgeFailure(kChangedDuringTransferMessage);
  }
  return file;
}

PairReads readPair(const BatchContext& batch, PairInFlight& inFlight) {
  const Pair& pair = batch.request.items[inFlight.index];
  FileSystem& fs = batch.fs;
  const ChunkHook& here = inFlight.here;
  const ChunkHook& elsewhere = inFlight.elsewhere;
  BatchSubject& site = inFlight.subject;
  site = BatchSubject::original;
  if (pair.externalPhotoId.empty() || pair.externalVariantId.empty()) {
    throw BridgeFailure(kPairingMissingMessage);
  }
  PairReads reads;
  reads.original = fileLocation(pair.sourcePath);
  const std::string render = fileLocation(pair.renderPath);

  reads.originalStatus = admittedStatus(reads.original, fs);
  site = BatchSubject::render;
  const FileStatus renderStatus = admittedStatus(render, fs);
  if (renderStatus.size > kLargestRender) throw RenderTooLarge();
  reads.renderSize = renderStatus.size;
  reads.large = std::min(reads.originalStatus.size, renderStatus.size) >= kParallelReadThreshold;

  SecondThread* split = reads.large ? batch.split : nullptr;
  auto firstReads = bothBlamed(
      split, site,
      [&](BatchSubject& blame) {
        return blaming(blame, BatchSubject::original, [&] {
          OpenFile original = openAdmitted(reads.original, reads.originalStatus, fs);
          return hashOfAdmitted(original, fs, here);
        });
      },
      [&](BatchSubject& blame) {
        return blaming(blame, BatchSubject::render, [&] {
          // The render is opened once: what is inspected, hashed and copied is one and the same
          // file, even if another program renames a new file onto its path meanwhile. A render
          // that cannot be opened cannot be inspected either, and is no acceptable image.
          try {
            reads.render = openAdmitted(render, renderStatus, fs);
          } catch (const std::system_error&) {
            throw BridgeFailure(kNotAnAcceptedImageMessage);
          }
          ImageInfo image = imageInfo(reads.render, fs);
          return std::pair(std::move(image),
                           hashOfAdmitted(reads.render, fs, split ? elsewhere : here));
        });
      });
  reads.sourceSha256 = std::move(firstReads.first);
  reads.image = std::move(firstReads.second.first);
  reads.renderSha256 = std::move(firstReads.second.second);
  return reads;
}

}  // namespace quillmere
