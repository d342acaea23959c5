#pragma once

#include <cstddef>
#include <string>

#include "support/temp_dir.h"

namespace quillmere::testing {

// A batch saved by createBatch into `dir`/out from `count` renders made in `dir`/in (a JPEG, a PNG
// and a TIFF in turn, each `padding` bytes larger than its image) and an original of its own for
// each; the batch's folder.
std::string saveBatch(const TempDir& dir, int count = 3, std::size_t padding = 0);

}  // namespace quillmere::testing
