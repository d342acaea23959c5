#include "transfer/staged_copy.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>

#include "inspect/digest.h"
#include "inspect/image_info.h"
#include "platform/identity.h"
#include "platform/system_error.h"
#include "transfer/blame.h"
#include "transfer/medium_check.h"

namespace quillmere {

namespace {

// Copies move at most this much per call, so progress and a stop request are heard between chunks.
constexpr std::size_t kCopyChunk = 4 << 20;
// Below this size a copy is not worth a separate call to start its write-back early.
constexpr std::int64_t kWriteBackThreshold = 1 << 20;

std::string_view extensionFor(const std::string& mediaFormat) {
  if (mediaFormat == "JPEG") return "jpg";
  if (mediaFormat == "TIFF") return "tif";
  if (mediaFormat == "PNG") return "png";
  // imageInfo reports only the three formats above; anything else is refused, never trusted.
  throw BridgeFailure(kNotAnAcceptedImageMessage);
}

}  // namespace

StagedItem finishPair(const BatchContext& batch, PairInFlight& inFlight, PairReads& reads) {
  const Pair& pair = batch.request.items[inFlight.index];
  StagingFolder& staging = batch.staging;
  FileSystem& fs = batch.fs;
  const ChunkHook& here = inFlight.here;
  const ChunkHook& elsewhere = inFlight.elsewhere;
  BatchSubject& site = inFlight.subject;
  // From here on a failure that names the staging folder is the destination's, not the render's.
  site = BatchSubject::render;
  const std::string renderFilename =
      randomUUID() + "." + std::string(extensionFor(reads.image.mediaFormat));
  const auto renderSize = static_cast<std::uint64_t>(reads.renderSize);
  std::uint64_t copiedSize = 0;
  OpenFile copy = [&] {
    try {
      OpenFile created = staging.create(renderFilename);
      // Hashing and copying are separate passes on purpose: a render that is still being written
      // reads differently the second time, and the verification below catches it. One byte past
      // the hashed size is copied when the render has it, which is enough to know it grew.
      while (copiedSize <= renderSize) {
        const std::size_t copied = fs.copyChunk(
            reads.render, copiedSize, created,
            static_cast<std::size_t>(std::min<std::uint64_t>(kCopyChunk, renderSize + 1 - copiedSize)));
        if (copied == 0) break;
        copiedSize += copied;
        here(copied);
      }
      return created;
    } catch (const SystemFailure& failure) {
      if (failure.concerns(staging.folder().path)) site = BatchSubject::none;
      throw;
    }
  }();
  if (copiedSize != renderSize) throw BridgeFailure(kChangedDuringTransferMessage);
  // Start writing a large copy to disk now; its flush, a pair later, then finds little to do.
  // For small files the flush alone is cheaper than one more call each.
  if (reads.renderSize >= kWriteBackThreshold) fs.startWriteBack(copy);

  StagedCopy staged{std::move(copy), inFlight.index, copiedSize, reads.renderSha256, std::move(reads.render),
                    reads.image, std::nullopt};
  SecondThread* split = reads.large ? batch.split : nullptr;
  bothBlamed(
      split, site,
      [&](BatchSubject& blame) {
        // A lone large pair has no other pair to overlap its flush and read-back with: both are
        // done now, while the other thread hashes the original again.
        if (!split) return 0;
        blaming(blame, BatchSubject::none, [&] {
          fs.sync(staged.file);
          refetchFromMedium(staged, fs);
        });
        proveCopy(staged, fs, here, blame, inFlight.storedFile);
        return 0;
      },
      [&](BatchSubject& blame) {
        return blaming(blame, BatchSubject::original, [&] {
          // Reopened by path, so that an original replaced meanwhile is caught, at once.
          OpenFile original = openAdmitted(reads.original, reads.originalStatus, fs);
          if (hashOfAdmitted(original, fs, split ? elsewhere : here) != reads.sourceSha256) {
            throw BridgeFailure(kChangedDuringTransferMessage);
          }
          return 0;
        });
      });
  site = BatchSubject::none;

  StagedItem result;
  if (!split) result.copy = std::move(staged);
  ManifestItem& item = result.item;
  item.image = std::move(reads.image);
  item.externalPhotoId = pair.externalPhotoId;
  item.externalVariantId = pair.externalVariantId;
  item.renderFilename = renderFilename;
  item.renderId = stableUUID(reads.renderSha256);
  item.renderSha256 = reads.renderSha256;
  item.sourceSha256 = reads.sourceSha256;
  item.variantId = variantId(batch.request.provider, batch.fingerprint, pair.externalVariantId, reads.sourceSha256);
  return result;
}

}  // namespace quillmere
