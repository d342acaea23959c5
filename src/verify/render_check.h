#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "platform/file_system.h"
#include "transfer/manifest.h"

namespace quillmere {

// Checks one render of a batch against its manifest item, from the medium: opens it in the
// folder (never through a link), drops its cached pages, hashes it with read-ahead, and, when the
// digest matches, inspects it as createBatch did. Answers the problem's sentence, or nothing when
// the render is as it was saved. `onChunk` hears every chunk hashed, and whatever it throws ends
// the check and is passed on, which is how a verification stops.
std::optional<std::string> renderProblem(OpenFile& folder, const ManifestItem& item, FileSystem& fs,
                                         const std::function<void(std::size_t)>& onChunk);

}  // namespace quillmere
