#pragma once

#include <string>
#include <vector>

// What the batch check asks of the folders it is given, before and after verifyBatch reads them.
namespace quillmere {

// The batches a folder stands for: itself when it holds a manifest (or when nothing in it does, so
// that the check says why it is no batch), otherwise each folder directly in it that does, in the
// order of their names.
std::vector<std::string> batchesIn(const std::string& folder);

// The render file names a batch's manifest lists, in its order; none when it cannot be read as one.
std::vector<std::string> renderNames(const std::string& folder);

}  // namespace quillmere
