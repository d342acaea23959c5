#include "transfer/batch_destination.h"

#include <system_error>

#include "platform/identity.h"
#include "platform/paths.h"
#include "platform/system_error.h"
#include "transfer/staging_folder.h"

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

// A platform error raised on a path under `hidden`, told about `shown` instead; any other error
// as it was. A failed commit names both, and is left alone.
[[noreturn]] void rethrowNaming(const std::system_error& failure, const std::string& hidden,
                                const std::string& shown) {
  std::string text = failure.what();
  const auto at = text.find(hidden);
  if (at == std::string::npos || text.find(shown) != std::string::npos) throw;
  text.replace(at, hidden.size(), shown);
  throwRetold(failure, text);
}

}  // namespace

BatchPlace placeBatch(const std::string& destination, FileSystem& fs) {
  BatchPlace place;
  place.destinationPath = fileLocation(destination);
  place.destination = openDestination(place.destinationPath, fs);
  place.destinationStatus = statusOfDestination(place.destination, fs);
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
  } catch (const std::system_error& failure) {
    rethrowNaming(failure, place.stagingPath, place.batchPath);
  }
}

}  // namespace quillmere
