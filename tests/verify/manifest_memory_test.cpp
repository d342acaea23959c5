// Decoding a manifest while memory runs out, at every point of the decoding: the failure is
// std::bad_alloc, passed on to be reported, never an abort. (A document built in memory would need
// memory again to be released while unwinding, and end the program there.)
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <new>
#include <string>

#include "inspect/digest.h"
#include "support/child_process.h"
#include "support/sanitized.h"
#include "transfer/manifest.h"
#include "verify/batch_manifest.h"

namespace quillmere {
namespace {

// 500 items of ordinary values: thousands of small allocations while decoding.
std::string fullManifest() {
  Manifest manifest{digest("catalog"),
                    "2026-12-10T12:00:00Z",
                    {},
                    "CAPTURE_ONE",
                    "5d0c2b7e-8f3a-4c1e-9b6d-2a7f4e8c1d05"};
  for (int i = 0; i < 500; ++i) {
    ManifestItem item;
    item.image = {"JPEG", 6000, 4000, 8};
    item.externalPhotoId = "photo/" + std::to_string(i);
    item.externalVariantId = "variant/" + std::to_string(i);
    char name[64];
    std::snprintf(name, sizeof name, "%08x-0000-4000-8000-%012x.jpg", i, i);
    item.renderFilename = name;
    item.renderSha256 = digest(name);
    item.renderId = stableUUID(item.renderSha256);
    item.sourceSha256 = digest(item.externalPhotoId);
    item.variantId = stableUUID(item.sourceSha256);
    manifest.items.push_back(item);
  }
  return encodeManifest(manifest);
}

#ifndef QUILLMERE_SANITIZED
TEST(ManifestMemory, RunningOutAnywhereWhileDecodingIsBadAllocNeverAnAbort) {
  const std::string bytes = fullManifest();
  int decoded = 0, outOfMemory = 0;
  // From no room at all to room enough, in steps finer than the decoding's larger allocations.
  for (rlim_t room = 0; room <= (6u << 20); room += 24u << 10) {
    SCOPED_TRACE("room " + std::to_string(room));
    testing::ChildProcess child = testing::forkChild([&] {
      long pages = 0;
      std::ifstream("/proc/self/statm") >> pages;
      const rlim_t used = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
      const rlimit limit{used + room, used + room};
      if (::setrlimit(RLIMIT_AS, &limit) != 0) return false;
      try {
        const ManifestReading reading = readBatchManifest(bytes);
        ::_exit(reading.manifest ? 0 : 4);
      } catch (const std::bad_alloc&) {
        ::_exit(3);
      }
    });
    const auto status = child.wait();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(*status == 0 || *status == 3) << "ended with " << *status;
    if (*status == 0) ++decoded;
    if (*status == 3) ++outOfMemory;
  }
  EXPECT_GT(decoded, 0);
  EXPECT_GT(outOfMemory, 0);
}
#endif

}  // namespace
}  // namespace quillmere
