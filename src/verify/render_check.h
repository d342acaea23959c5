#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/file_system.h"
#include "transfer/manifest.h"

namespace quillmere {

// Checks one render of a batch against its manifest item, from the medium, and answers every
// problem's sentence, none when the render and its record are as they were saved:
//  - first, whether "variantId" still belongs to what it is derived from (the batch's provider and
//    "catalogFingerprint", the item's "externalVariantId" and "sourceSha256");
//  - then the render itself: opened in the folder (never through a link), refused unread when it
//    is larger than any render can be, its cached pages dropped, hashed with read-ahead, its name
//    checked to still lead to the file read, and, when the digest is the record's, inspected as
//    createBatch did. Which of the file, "renderSha256" and "renderId" disagrees with the other two
//    is said, when two of them still agree.
// `onChunk` hears every chunk hashed, and whatever it throws ends the check and is passed on,
// which is how a verification stops. A failure of the process itself (no descriptor or memory
// left) is no problem of the render: it is thrown as the std::system_error it is.
std::vector<std::string> renderProblems(OpenFile& folder, const Manifest& manifest,
                                        const ManifestItem& item, FileSystem& fs,
                                        const std::function<void(std::size_t)>& onChunk);

// Whether a failed call ran out of something the process holds (descriptors, kernel memory)
// rather than finding something wrong with the file it concerned.
bool isProcessFailure(const std::error_code& error);

}  // namespace quillmere
