#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "transfer/batch_progress.h"
#include "transfer/shared_pairs.h"
#include "transfer/staged_copy.h"

namespace quillmere {

// Has a flushed copy read back from the device rather than from the memory that merely held what
// was written, so that its hash sees the bytes as the destination's medium (a disk, a card, a
// share) holds them. Where the file system allows, the copy is opened again past the page cache
// (O_DIRECT) and every read of the proof goes to the device; its cached pages are dropped all the
// same, so a batch leaves the user's page cache to the user's files. Elsewhere the dropped pages
// are read again in the background, and the hash later finds what the device returned. Where the
// file system keeps its pages anyway (tmpfs, whose pages are the file; some network and FUSE file
// systems), the hash reads memory: it still proves that the copy holds what the render was hashed
// as, only not that the medium keeps it; that is not a failure.
void refetchFromMedium(StagedCopy& copy, FileSystem& fs);

// The SHA-256 of a flushed file of `size` bytes as the medium gives it back, read at once (no
// other work to overlap with); nothing when the medium holds fewer or more bytes.
std::optional<std::string> sha256FromMedium(OpenFile& file, FileSystem& fs, std::uint64_t size);

// Proves a flushed copy from what the medium gives back: hashed once, it must hold what the
// render was hashed as, and be described as the render was. A copy that differs is diagnosed by
// hashing the render again through its open descriptor: unchanged, the destination did not keep
// what it was given (kMediumMismatchMessage, the copy named in `storedFile`); changed, the photo
// changed underneath (kChangedDuringTransferMessage, the render blamed in `blame`).
void proveCopy(StagedCopy& copy, FileSystem& fs, const ChunkHook& onChunk, BatchSubject& blame,
               std::optional<std::string>& storedFile);

// The copies of one thread on their way to the medium and back, in groups: a group of small copies
// (a large copy is a group of its own, its write-back started with the copy) is flushed once the
// thread stages the pair after it, then dropped from memory and read back in the background while
// the next group is staged, and only then proven (proveCopy): the device's reads overlap the
// hashing of other pairs. A copy that fails any of it is its pair's failure, recorded in `pairs`.
class MediumCheck {
 public:
  MediumCheck(SharedPairs& pairs, FileSystem& fs, std::function<ChunkHook(std::size_t)> hookFor)
      : m_pairs(pairs), m_fs(fs), m_hookFor(std::move(hookFor)) {}

  // A pair's copy has been staged: older copies move on by one step.
  void staged(StagedCopy copy);

  // The thread is done staging: everything left is flushed, read back and checked.
  void finish();

 private:
  void fetch(std::vector<StagedCopy>& copies);
  void verifyFetched();

  SharedPairs& m_pairs;
  FileSystem& m_fs;
  std::function<ChunkHook(std::size_t)> m_hookFor;
  std::vector<StagedCopy> m_written;  // copied, write-back started
  std::uint64_t m_writtenBytes = 0;
  std::vector<StagedCopy> m_fetched;  // flushed, being read back from the medium
};

}  // namespace quillmere
