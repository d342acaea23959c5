#include "verify/render_check.h"

#include <cerrno>
#include <system_error>

#include "inspect/digest.h"
#include "inspect/image_info.h"
#include "platform/system_error.h"
#include "records/records.h"
#include "verify/verify_batch.h"

namespace quillmere {

namespace {

// What a failed open or read of a render means to the photographer: gone, something else in its
// place, or there but not readable, with the system's reason (a failing disk says EIO).
std::string problemOf(const std::system_error& error) {
  if (isNotRegularFileError(error.code())) return kRenderNotAFileProblem;
  if (error.code().category() != std::generic_category()) {
    return kRenderUnreadableStart + std::string(error.what()) + "。";
  }
  if (error.code().value() == ENOENT) return kRenderMissingProblem;
  return kRenderUnreadableStart + errnoText(error.code().value()) + "。";
}

}  // namespace

std::optional<std::string> renderProblem(OpenFile& folder, const ManifestItem& item, FileSystem& fs,
                                         const std::function<void(std::size_t)>& onChunk) {
  // "renderId" is derived from the digest alone; when they no longer belong together the item
  // was edited, and neither can be trusted to tell whether the render is right.
  if (item.renderId != stableUUID(item.renderSha256)) return kRecordAlteredProblem;

  OpenFile file;
  try {
    file = fs.openForReadingAt(folder, item.renderFilename);
  } catch (const std::system_error& error) {
    return problemOf(error);
  }
  // The pages a copy left in memory prove nothing about the disk: drop them, so that the hash
  // below is of what the device returns. Only clean pages can go, which is all a batch saved
  // earlier has; where the file system keeps them anyway, the read simply comes from memory.
  fs.dropCachedPages(file);
  fs.adviseSequential(file);
  std::optional<std::string> digest;
  try {
    digest = sha256OfSize(file, fs, static_cast<std::uint64_t>(file.status.size), onChunk);
  } catch (const std::system_error& error) {
    return problemOf(error);
  }
  if (!digest) return kRenderChangedWhileReadProblem;
  if (*digest != item.renderSha256) return kRenderDiffersProblem;

  // The bytes are the ones saved, so the description can only differ when the item's was edited.
  std::optional<std::string> problem;
  try {
    if (imageInfo(file, fs) != item.image) problem = kRenderDescriptionDiffersProblem;
  } catch (const BridgeFailure&) {
    problem = kRenderDescriptionDiffersProblem;
  }
  // A large batch read once should not push everything else out of memory.
  fs.dropCachedPages(file);
  return problem;
}

}  // namespace quillmere
