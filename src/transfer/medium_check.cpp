#include "transfer/medium_check.h"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <memory>
#include <new>
#include <span>
#include <system_error>
#include <utility>

#include "inspect/digest.h"
#include "inspect/image_info.h"
#include "platform/system_error.h"

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

// Copies from this size on are read back past the page cache; smaller ones through it, fetched
// ahead in their group.
constexpr std::uint64_t kUncachedReadFrom = 1 << 20;

// Reads past the page cache move at most this much each. Every such read waits for the device,
// so each must be large; larger than this measured no faster here.
constexpr std::size_t kUncachedChunk = 1 << 20;

struct AlignedDelete {
  std::size_t alignment;
  void operator()(std::byte* bytes) const noexcept {
    ::operator delete[](bytes, std::align_val_t(alignment));
  }
};

// The SHA-256 of a copy of `size` bytes as read past the page cache, or nothing when the device
// gives back fewer or more bytes; as sha256OfSize, which cannot be used here: its reads end
// anywhere and land anywhere. Returns false, having reported no progress, when the file system
// refuses the first read past its cache (EINVAL, as some FUSE file systems do).
bool hashUncached(UncachedFile& uncached, FileSystem& fs, std::uint64_t size,
                  const ChunkHook& onChunk, std::optional<std::string>& hash) {
  const std::size_t alignment = uncached.alignment;
  const auto roundUp = [alignment](std::uint64_t bytes) {
    return (bytes + alignment - 1) / alignment * alignment;
  };
  // One block past the size, so that one read both finishes the file and shows nothing follows;
  // a small copy takes a small buffer, and no call to map one.
  const auto capacity =
      static_cast<std::size_t>(std::min<std::uint64_t>(kUncachedChunk, roundUp(size + 1)));
  const std::unique_ptr<std::byte[], AlignedDelete> buffer(
      static_cast<std::byte*>(::operator new[](capacity, std::align_val_t(alignment))),
      AlignedDelete{alignment});
  Sha256Stream hasher(uncached.file.path);
  std::uint64_t offset = 0;
  for (;;) {
    const auto want =
        static_cast<std::size_t>(std::min<std::uint64_t>(capacity, roundUp(size - offset + 1)));
    std::size_t count = 0;
    try {
      count = fs.readAt(uncached.file, offset, std::span(buffer.get(), want));
    } catch (const std::system_error& failure) {
      if (offset == 0 && failure.code() == std::errc::invalid_argument) return false;
      throw;
    }
    if (count == 0) break;
    // Bytes past `size`: more than was written.
    if (count > size - offset) {
      hash.reset();
      return true;
    }
    hasher.add(std::span(buffer.get(), count));
    offset += count;
    if (onChunk) onChunk(count);
    // A short read is the end of the file; one that ends off a block could not be followed by
    // another read past the cache anyway.
    if (count < want && (offset == size || offset % alignment != 0)) break;
  }
  if (offset < size) {
    hash.reset();
    return true;
  }
  hash = hasher.finish();
  return true;
}

// A flushed file's hash as the medium gives it back: past the cache where the file system allows
// it (`uncached`, used up), else through the pages dropped and read again after its flush.
std::optional<std::string> hashAsStored(OpenFile& file, std::optional<UncachedFile>& uncached,
                                        FileSystem& fs, std::uint64_t size,
                                        const ChunkHook& onChunk) {
  if (uncached) {
    std::optional<std::string> hash;
    const bool read = hashUncached(*uncached, fs, size, onChunk, hash);
    uncached.reset();
    if (read) return hash;
  }
  return sha256OfSize(file, fs, size, onChunk);
}

}  // namespace

void refetchFromMedium(StagedCopy& copy, FileSystem& fs) {
  fs.dropCachedPages(copy.file);
  // A read past the cache waits for the device, one file after another; a group of small copies
  // asked for ahead is fetched by the device together, which measured faster for a batch of
  // small renders. Either way the pages are gone again once the copy is proven.
  if (copy.size >= kUncachedReadFrom) copy.uncached = fs.openUncached(copy.file);
  if (!copy.uncached) fs.prefetch(copy.file);
}

std::optional<std::string> sha256FromMedium(OpenFile& file, FileSystem& fs, std::uint64_t size) {
  fs.dropCachedPages(file);
  std::optional<UncachedFile> uncached = fs.openUncached(file);
  const std::optional<std::string> hash = hashAsStored(file, uncached, fs, size, {});
  fs.dropCachedPages(file);
  return hash;
}

void proveCopy(StagedCopy& copy, FileSystem& fs, const ChunkHook& onChunk, BatchSubject& blame,
               std::optional<std::string>& storedFile) {
  // The copy is hashed once, as the medium gives it back: a stronger form of comparing it with
  // what was written. One that differs is either a render changed underneath or a destination
  // that does not keep what it is given (a fake-capacity card, a share that garbles reads): the
  // render, hashed again through the descriptor it was copied from, tells which. Blaming the photo
  // for the disk would have the photographer export again and fail again, for ever.
  if (hashAsStored(copy.file, copy.uncached, fs, copy.size, onChunk) != copy.sha256) {
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
  // The headers just read came back into memory: the batch leaves none of its copies there.
  fs.dropCachedPages(copy.file);
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
    refetchFromMedium(copy, m_fs);
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
