#include "transfer/create_batch.h"

#include <algorithm>
#include <array>
#include <span>
#include <string>
#include <string_view>

#include "inspect/digest.h"
#include "platform/file_operations.h"
#include "platform/identity.h"
#include "platform/paths.h"
#include "transfer/batch_destination.h"
#include "transfer/batch_progress.h"
#include "transfer/leftover_staging.h"
#include "transfer/manifest.h"
#include "transfer/medium_check.h"
#include "transfer/space_check.h"
#include "transfer/stage_pairs.h"
#include "transfer/staging_folder.h"

namespace quillmere {

namespace {

constexpr std::array<std::string_view, 2> kAcceptedProviders = {"LIGHTROOM_CLASSIC", "CAPTURE_ONE"};

void requireAcceptedRequest(const BatchRequest& request) {
  const bool providerAccepted = std::find(kAcceptedProviders.begin(), kAcceptedProviders.end(),
                                          request.provider) != kAcceptedProviders.end();
  if (!providerAccepted || request.catalogId.empty() || request.items.empty() ||
      request.items.size() > kMostBatchPairs) {
    throw BridgeFailure(kBatchSizeMessage);
  }
}

// Writes the manifest into the staging folder, flushes it and reads it back from the medium. The
// staging folder is new and private to this call, so the manifest is created there directly; it
// becomes visible only with the whole batch, through the commit's rename.
void writeManifest(const Manifest& manifest, StagingFolder& staging, FileSystem& fs,
                   BatchFailureSite& site) {
  OpenFile file = staging.create(kManifestFileName);
  const std::string bytes = encodeManifest(manifest);
  fs.writeAll(file, std::as_bytes(std::span<const char>(bytes.data(), bytes.size())));
  fs.sync(file);
  if (sha256FromMedium(file, fs, bytes.size()) != digest(bytes)) {
    site.storedFile = file.path;
    throw BridgeFailure(kMediumMismatchMessage);
  }
}

BatchResult stageAndCommit(const BatchRequest& request, FileSystem& fs,
                           const BatchObserver* observer, BatchFailureSite& site,
                           BatchPlace& place) {
  BatchProgressTracker progress(observer, request, fs);
  // Every render, the manifest and the owner record.
  StagingFolder staging(fs, place.destination, place.stagingName, request.items.size() + 2);

  Manifest manifest;
  manifest.catalogFingerprint = catalogFingerprint(request.provider, request.catalogId);
  manifest.provider = request.provider;
  manifest.transferBatchId = place.batchId;
  manifest.items = stagePairs(request, manifest.catalogFingerprint, staging, fs, progress, site);
  progress.finishing();

  // A batch reported as saved must survive a power loss: every render reached the disk while it
  // was staged, before the manifest that vouches for it; the staging folder's entries reach it
  // before the rename, the rename itself after.
  manifest.issuedAt = currentTimeISO8601();
  writeManifest(manifest, staging, fs, site);
  staging.removeOwnerRecord();
  fs.sync(staging.folder());
  progress.checkStop();

  // What this cannot close is the moment between the check and the rename: a folder moved
  // within it takes the batch along, and no call can check and rename in one step.
  requireSameDestination(place, fs);
  renameNoReplaceAt(place.destination, staging.name(), place.batchName, fs);
  staging.committed();
  try {
    fs.sync(place.destination);
  } catch (...) {
    // The batch is saved and visible; reporting a failure now would make the caller think
    // otherwise, and removing it would take away what another program may already be reading.
    // Only whether the rename survives a power cut is in doubt, and nothing here can mend that.
  }
  try {
    // The destination is itself only an entry of its parent, and one the caller may have just
    // made (`mkdir out`, then a batch into it): until its parent is flushed, a power cut can take
    // the folder away with the batch reported saved in it.
    syncDirectory(parentOf(place.destinationPath), fs);
  } catch (...) {
    // As above: the batch is saved and visible, and only its surviving a power cut is in doubt.
  }
  return BatchResult{place.batchPath, static_cast<std::int64_t>(manifest.items.size()),
                     std::nullopt};
}

BatchResult runBatch(const BatchRequest& request, FileSystem& fs, const BatchObserver* observer,
                     BatchFailureSite& site) {
  requireAcceptedRequest(request);
  BatchPlace place = placeBatch(request.destination, fs);
  // What dead batches left here goes first, so that the room they held counts for this batch;
  // what may not be removed is named if the room falls short.
  const LeftoverClearing leftovers =
      clearLeftoverStaging(fs, place.destination, place.destinationStatus,
                           [observer] { return stopAsked(observer); });
  if (leftovers.stopped) throw Stopped(kBatchStoppedMessage);
  requireRoomFor(request, place, fs, leftovers.kept);
  try {
    return stageAndCommit(request, fs, observer, site, place);
  } catch (...) {
    rethrowNamingBatchFolder(place, site);
  }
}

}  // namespace

BatchResult createBatch(const BatchRequest& request, FileSystem& fs,
                        const BatchObserver* observer) {
  BatchFailureSite site;
  try {
    return runBatch(request, fs, observer, site);
  } catch (...) {
    if (observer && observer->failed) {
      try {
        observer->failed(site);
      } catch (...) {
        // A listener's own trouble must not replace the batch's failure.
      }
    }
    throw;
  }
}

}  // namespace quillmere
