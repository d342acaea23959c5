#include "transfer/medium_check.h"

#include <exception>
#include <utility>

#include "inspect/digest.h"
#include "inspect/image_info.h"

namespace quillmere {

namespace {

// Small copies are flushed this many at a time, one flush after another: the first writes the
// blocks their inodes and folder entries share (or waits for the journal commit that holds them
// all, where there is a journal), and the flushes after it find those written already. Flushing
// each copy as soon as the next was staged wrote those blocks again for every copy.
constexpr std::size_t kGroupFiles = 16;
// A group closes at this many bytes whatever its count, so that a large copy is flushed on its
// own, one pair behind its writing, as before; grouping is for the small.
constexpr std::uint64_t kGroupBytes = 8 << 20;

}  // namespace

void refetchFromMedium(OpenFile& file, FileSystem& fs) {
  fs.dropCachedPages(file);
  fs.prefetch(file);
}

void proveCopy(StagedCopy& copy, FileSystem& fs, const ChunkHook& onChunk, BatchSubject& blame,
               std::optional<std::string>& storedFile) {
  // The copy is hashed once, as the medium gives it back: a stronger form of comparing it with
  // what was written. One that differs is either a render changed underneath or a destination
  // that does not keep what it is given (a fake-capacity card, a share that garbles reads): the
  // render, hashed again through the descriptor it was copied from, tells which. Blaming the photo
  // for the disk would have the photographer export again and fail again, for ever.
  if (sha256OfSize(copy.file, fs, copy.size, onChunk) != copy.sha256) {
    if (sha256OfSize(copy.render, fs, copy.size, onChunk) == copy.sha256) {
      storedFile = copy.file.path;
      throw BridgeFailure(kMediumMismatchMessage);
    }
    blame = BatchSubject::render;
    throw BridgeFailure(kChangedDuringTransferMessage);
  }
  // The description goes into the manifest beside the digest, so it must be that of the bytes
  // stored: the render's headers may have been rewritten in place between its inspection and its
  // hash. The copy is this batch's own file, which nobody else writes, and its bytes are proven.
  std::optional<ImageInfo> stored;
  try {
    stored = storedImageInfo(copy.file, fs);
  } catch (const BridgeFailure&) {
    // Refused now, so not the image that was admitted.
  }
  if (stored != copy.image) {
    blame = BatchSubject::render;
    throw BridgeFailure(kChangedDuringTransferMessage);
  }
  copy.render.fd.reset();
}

void MediumCheck::staged(StagedCopy copy) {
  if (m_written.size() >= kGroupFiles || m_writtenBytes >= kGroupBytes) {
    verifyFetched();
    fetch(m_written);
  }
  m_writtenBytes += copy.size;
  m_written.push_back(std::move(copy));
}

void MediumCheck::finish() {
  verifyFetched();
  fetch(m_written);
  verifyFetched();
}

void MediumCheck::fetch(std::vector<StagedCopy>& copies) {
  // Every flush first, then every drop: a group's copies go to the disk together.
  for (StagedCopy& copy : copies) {
    try {
      m_fs.sync(copy.file);
    } catch (...) {
      m_pairs.failed(copy.pair, std::current_exception(), BatchSubject::none);
      copy.file.fd.reset();
    }
  }
  for (StagedCopy& copy : copies) {
    if (!copy.file.fd) continue;
    refetchFromMedium(copy.file, m_fs);
    m_fetched.push_back(std::move(copy));
  }
  copies.clear();
  m_writtenBytes = 0;
}

void MediumCheck::verifyFetched() {
  for (StagedCopy& copy : m_fetched) {
    BatchSubject blame = BatchSubject::none;
    std::optional<std::string> storedFile;
    try {
      proveCopy(copy, m_fs, m_hookFor(copy.pair), blame, storedFile);
    } catch (...) {
      m_pairs.failed(copy.pair, std::current_exception(), blame, std::move(storedFile));
    }
  }
  m_fetched.clear();
}

}  // namespace quillmere
