#include "verify/render_check.h"

#include <cerrno>
#include <optional>
#include <system_error>

#include "inspect/digest.h"
#include "inspect/image_info.h"
#include "platform/system_error.h"
#include "records/records.h"
#include "transfer/pair_reads.h"
#include "verify/verify_batch.h"

namespace quillmere {

namespace {

// What a failed open or read of a render means to the photographer: gone, something else in its
// place, or there but not readable, with the system's reason (a failing disk says EIO). The
// process's own shortage is passed on: the render is not at fault.
std::string problemOf(const std::system_error& error) {
  if (isProcessFailure(error.code())) throw error;
  if (isNotRegularFileError(error.code())) return kRenderNotAFileProblem;
  if (error.code().category() != std::generic_category()) {
    return kRenderUnreadableStart + std::string(error.what()) + "。";
  }
  if (error.code().value() == ENOENT) return kRenderMissingProblem;
  return kRenderUnreadableStart + errnoText(error.code().value()) + "。";
}

// The render's own problems, appended to `problems`.
void checkRender(OpenFile& folder, const ManifestItem& item, FileSystem& fs,
                 const std::function<void(std::size_t)>& onChunk,
                 std::vector<std::string>& problems) {
  OpenFile file;
  try {
    file = fs.openForReadingAt(folder, item.renderFilename);
  } catch (const std::system_error& error) {
    problems.push_back(problemOf(error));
    return;
  }
  // No render is ever saved larger: whatever stands here instead is not read at all.
  if (file.status.size > kLargestRender) {
    problems.push_back(kRenderTooLargeProblem);
    return;
  }
  // The pages a copy left in memory prove nothing about the disk: drop them, so that the hash
  // below is of what the device returns. Only clean pages can go, which is all a batch saved
  // earlier has; where the file system keeps them anyway, the read simply comes from memory.
  fs.dropCachedPages(file);
  fs.adviseSequential(file);
  std::optional<std::string> digest;
  std::optional<FileStatus> named;
  try {
    digest = sha256OfSize(file, fs, static_cast<std::uint64_t>(file.status.size), onChunk);
    // The bytes read are the render's only if its name still leads to them: another file renamed
    // onto the name meanwhile is what the folder holds now, and it was not read.
    named = fs.entryStatusAt(folder, item.renderFilename);
  } catch (const std::system_error& error) {
    problems.push_back(problemOf(error));
    return;
  }
  if (!digest || !named || !sameFile(*named, file.status)) {
    problems.push_back(kRenderChangedWhileReadProblem);
    return;
  }

  // The file, "renderSha256" and "renderId" (derived from the digest alone) were saved in
  // agreement; when one of them changed, the two that still agree tell which.
  const bool recordAgrees = item.renderId == stableUUID(item.renderSha256);
  if (*digest != item.renderSha256) {
    if (recordAgrees) {
      problems.push_back(kRenderDiffersProblem);
      return;
    }
    if (item.renderId != stableUUID(*digest)) {
      problems.push_back(kRecordAlteredProblem);
      return;
    }
    problems.push_back(kRenderSha256AlteredProblem);
  } else if (!recordAgrees) {
    problems.push_back(kRenderIdAlteredProblem);
  }

  // The bytes are the ones saved, so the description can only differ when the item's was edited.
  // A read that fails while the headers are looked at is the read's failure, told as such (the
  // process's own shortage passed on), never a description that differs.
  try {
    if (storedImageInfo(file, fs) != item.image) problems.push_back(kRenderDescriptionDiffersProblem);
  } catch (const BridgeFailure&) {
    problems.push_back(kRenderDescriptionDiffersProblem);
  } catch (const std::system_error& error) {
    problems.push_back(problemOf(error));
    return;
  }
  // A large batch read once should not push everything else out of memory.
  fs.dropCachedPages(file);
}

}  // namespace

bool isProcessFailure(const std::error_code& error) {
  return error.category() == std::generic_category() &&
         (error.value() == EMFILE || error.value() == ENFILE || error.value() == ENOMEM);
}

std::vector<std::string> renderProblems(OpenFile& folder, const Manifest& manifest,
                                        const ManifestItem& item, FileSystem& fs,
                                        const std::function<void(std::size_t)>& onChunk) {
  std::vector<std::string> problems;
  if (item.variantId != variantId(manifest.provider, manifest.catalogFingerprint,
                                  item.externalVariantId, item.sourceSha256)) {
    problems.push_back(kVariantIdAlteredProblem);
  }
  checkRender(folder, item, fs, onChunk, problems);
  return problems;
}

}  // namespace quillmere
