#include "support/saved_batch.h"

#include <filesystem>

#include "support/images.h"
#include "transfer/create_batch.h"

namespace quillmere::testing {

std::string saveBatch(const TempDir& dir, int count, std::size_t padding) {
  std::filesystem::create_directories(dir / "in");
  std::filesystem::create_directories(dir / "out");
  BatchRequest request{"CAPTURE_ONE", "catalog", dir / "out", {}};
  for (int i = 0; i < count; ++i) {
    const std::string n = std::to_string(i);
    const std::string image = i % 3 == 0   ? jpegImage(6, 4, i)
                              : i % 3 == 1 ? pngImage(5, 3, i)
                                           : tiffImage(4, 4, i);
    // Each render's padding its own, so that no two renders are alike.
    writeFile(dir / ("in/r" + n), image + std::string(padding, static_cast<char>('a' + i % 26)));
    writeFile(dir / ("in/o" + n), "original " + n);
    request.items.push_back({dir / ("in/o" + n), dir / ("in/r" + n), "photo " + n, "variant " + n});
  }
  return *createBatch(request).directory;
}

}  // namespace quillmere::testing
