// Decoding a manifest while memory runs out, at every point of the decoding: the failure is
// std::bad_alloc, passed on to be reported, never an abort. (A document built in memory would need
// memory again to be released while unwinding, and end the program there.)
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <new>
#include <string>

#include "inspect/digest.h"
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
// Decodes `bytes` with `room` bytes of address space to spare beyond what the process maps now,
// and ends the process: 0 decoded, 3 out of memory as std::bad_alloc, 4 refused, 5 no limit set.
[[noreturn]] void decodeWithRoom(const std::string& bytes, rlim_t room) {
  long pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  const rlim_t used = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
  const rlimit limit{used + room, used + room};
  if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(5);
  try {
    const ManifestReading reading = readBatchManifest(bytes);
    ::_exit(reading.manifest ? 0 : 4);
  } catch (const std::bad_alloc&) {
    ::_exit(3);
  }
}

TEST(ManifestMemory, RunningOutAnywhereWhileDecodingIsBadAllocNeverAnAbort) {
  // A limit on the address space binds only memory the process has yet to map. A child forked
  // from this process would inherit every heap page earlier tests freed but the allocator kept
  // (megabytes, once a test has held a manifest of 9 MiB), decode within them under any limit,
  // and never run out. Each decoding runs instead in a freshly started copy of this executable,
  // whose heap is what this test alone makes it, whichever tests ran here before.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string bytes = fullManifest();
  int decoded = 0, outOfMemory = 0, decodedInARow = 0;
  // From no room at all to room enough, in steps finer than the decoding's larger allocations.
  // The decoding asks for the same memory each time, so once it has room it has room at every
  // larger limit: a few decodings in a row end the sweep.
  for (rlim_t room = 0; room <= (6u << 20) && decodedInARow < 8; room += 24u << 10) {
    int ended = -1;
    const auto answered = [&](int status) {
      ended = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
      return ended == 0 || ended == 3;
    };
    EXPECT_EXIT(decodeWithRoom(bytes, room), answered, "") << "room " << room << ", ended with "
                                                           << ended;
    if (ended == 0) ++decoded;
    if (ended == 3) ++outOfMemory;
    decodedInARow = ended == 0 ? decodedInARow + 1 : 0;
  }
  EXPECT_GT(decoded, 0);
  EXPECT_GT(outOfMemory, 0);
}
#endif

}  // namespace
}  // namespace quillmere
