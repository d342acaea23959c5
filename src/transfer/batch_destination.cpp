#include "transfer/batch_destination.h"

#include <cerrno>
#include <string_view>
#include <system_error>

#include "platform/identity.h"
#include "platform/paths.h"
#include "platform/system_error.h"
#include "transfer/manifest.h"
#include "transfer/staging_folder.h"
#include "transfer/staging_owner.h"

namespace quillmere {

namespace {

OpenFile openDestination(const std::string& destination, FileSystem& fs) {
  // The result names the batch folder by this path; one that is not valid UTF-8 could not be
  // written into it exactly, and a caller would look for a folder that does not exist.
  if (!isValidUtf8(destination)) throw BridgeFailure(kChooseFolderAgainMessage);
  try {
    return fs.openDirectory(destination);
  } catch (const std::system_error&) {
    throw BridgeFailure(kChooseFolderAgainMessage);
  }
}

// What the open destination is, so that the path can be held to it before the commit. A folder
// that cannot even be examined cannot be saved into.
FileStatus statusOfDestination(OpenFile& destination, FileSystem& fs) {
  try {
    return fs.status(destination);
  } catch (const std::system_error&) {
    throw BridgeFailure(kChooseFolderAgainMessage);
  }
}

// A platform failure on a path under `hidden`, told about `shown` instead; any other failure as it
// was. A failed commit names both, and is left alone.
[[noreturn]] void rethrowNaming(const SystemFailure& failure, const std::string& hidden,
                                const std::string& shown) {
  if (!failure.concerns(hidden) || failure.concerns(shown)) throw;
  throw failure.retold(hidden, shown);
}

bool holds(const std::string& folder, std::string_view name, FileSystem& fs) {
  try {
    static_cast<void>(fs.linkStatus(appendComponent(folder, name)));
    return true;
  } catch (const std::system_error& error) {
    if (error.code().value() == ENOENT || error.code().value() == ENOTDIR) return false;
    throw;
  }
}

// A batch is told by what it holds, not by its name: a saved one holds its manifest at its top,
// one being made (or left by a dead batch) its owner record or its staging name. Renamed, or
// mounted elsewhere, it is still a batch.
bool isBatchFolder(const std::string& location, FileSystem& fs) {
  return fileName(location).starts_with(kStagingFolderPrefix) ||
         holds(location, kManifestFileName, fs) || holds(location, kOwnerRecordName, fs);
}

// Walks from `location` up to the root; `location` is absolute and standardised.
std::optional<std::string> batchFolderAlong(std::string location, FileSystem& fs) {
  for (;;) {
    if (isBatchFolder(location, fs)) return location;
    if (location.size() <= 1) return std::nullopt;
    location = parentOf(location);
  }
}

// Failures of the destination's disk as a whole, whichever file was being written. An I/O error
// is left out: it may be one bad spot, and the file it hit is worth naming.
bool isDestinationFault(int error) { return error == ENOSPC || error == EDQUOT || error == EROFS; }

}  // namespace

std::string insideBatchMessage(const std::string& batchFolder) {
  return "所选的保存文件夹是已有的批次“" + batchFolder +
         "”或位于其中，保存到这里会损坏这个批次。请改选它所在的文件夹“" + parentOf(batchFolder) +
         "”。";
}

std::optional<std::string> enclosingBatchFolder(const std::string& destinationPath, FileSystem& fs,
                                                OpenFile* opened) {
  if (opened) {
    // Where the open folder really is, links resolved: the system keeps its path for us. Asked
    // first, so a batch reached through a link is named where it really is.
    const std::string physical = fs.readLink("/proc/self/fd/" + std::to_string(opened->fd.get()));
    if (!physical.empty() && physical.front() == '/' && physical != destinationPath) {
      if (auto found = batchFolderAlong(standardisePath(physical), fs)) return found;
    }
  }
  return batchFolderAlong(destinationPath, fs);
}

BatchPlace placeBatch(const std::string& destination, FileSystem& fs) {
  BatchPlace place;
  place.destinationPath = fileLocation(destination);
  place.destination = openDestination(place.destinationPath, fs);
  place.destinationStatus = statusOfDestination(place.destination, fs);
  if (const auto batch = enclosingBatchFolder(place.destinationPath, fs, &place.destination)) {
    throw BridgeFailure(insideBatchMessage(*batch));
  }
  place.batchId = randomUUID();
  place.batchName = std::string(kBatchFolderPrefix) + place.batchId;
  place.batchPath = appendComponent(place.destinationPath, place.batchName);
  place.stagingName = std::string(kStagingFolderPrefix) + place.batchId;
  place.stagingPath = appendComponent(place.destinationPath, place.stagingName);
  return place;
}

void requireSameDestination(const BatchPlace& place, FileSystem& fs) {
  FileStatus now;
  try {
    now = fs.status(place.destinationPath);
  } catch (const std::system_error&) {
    throw BridgeFailure(kChooseFolderAgainMessage);
  }
  if (!now.isDirectory || !sameFile(now, place.destinationStatus)) {
    throw BridgeFailure(kChooseFolderAgainMessage);
  }
}

void rethrowNamingBatchFolder(const BatchPlace& place, BatchFailureSite& site) {
  if (site.storedFile && site.storedFile->starts_with(place.stagingPath)) {
    site.storedFile->replace(0, place.stagingPath.size(), place.batchPath);
  }
  try {
    throw;
  } catch (const SystemFailure& failure) {
    if (isDestinationFault(failure.error()) && failure.concerns(place.stagingPath)) {
      // The destination's disk gave out, not a photo: no pair is blamed, and the folder named is
      // the one the user chose, not a file in a folder that is gone after the roll-back.
      site = BatchFailureSite{};
      throw failure.toldAs(place.stagingPath, place.destinationPath);
    }
    rethrowNaming(failure, place.stagingPath, place.batchPath);
  }
}

}  // namespace quillmere
