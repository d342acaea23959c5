#include "transfer/create_batch.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "inspect/admission.h"
#include "inspect/digest.h"
#include "inspect/image_info.h"
#include "platform/file_operations.h"
#include "platform/identity.h"
#include "platform/paths.h"
#include "platform/system_error.h"
#include "transfer/leftover_staging.h"
#include "transfer/manifest.h"

namespace quillmere {

namespace {

constexpr std::array<std::string_view, 2> kAcceptedProviders = {"LIGHTROOM_CLASSIC", "CAPTURE_ONE"};
constexpr std::size_t kMaxItems = 500;
constexpr std::int64_t kLargestRender = 536'870'912;  // 512 MiB, admitted
constexpr std::string_view kBatchFolderPrefix = "Quillmere-";
constexpr std::string_view kStagingFolderPrefix = ".quillmere-partial-";

// A platform error raised on a path under `hidden`, told about `shown` instead.
// A platform error raised on a path under `hidden`, told about `shown` instead; any other error
// as it was. A failed commit names both, and is left alone.
[[noreturn]] void rethrowNaming(const std::system_error& failure, const std::string& hidden,
                                const std::string& shown) {
  std::string text = failure.what();
  const auto at = text.find(hidden);
  if (at == std::string::npos || text.find(shown) != std::string::npos) throw;
  text.replace(at, hidden.size(), shown);
  throwRetold(failure, text);
}

// Owns the hidden folder a batch is built in, inside the open destination folder. Unless the batch
// is committed, the folder is removed with everything in it, whatever failed and however we
// leave; a failure of that removal is ignored so that the failure which caused the roll-back is
// the one the caller receives. Everything is relative to the destination's descriptor, so a path
// to the destination repointed meanwhile cannot scatter the batch or its removal.
class StagingFolder {
 public:
  StagingFolder(FileSystem& fs, OpenFile& destination, std::string name, std::size_t expectedFiles)
      : m_fs(fs), m_destination(destination), m_name(std::move(name)) {
    // Room for every name up front, so that remembering one never fails once its file exists.
    m_created.reserve(expectedFiles);
    m_fs.createDirectoryAt(m_destination, m_name);
    m_exists = true;
    try {
      m_folder = m_fs.openDirectoryAt(m_destination, m_name);
      lockStaging(m_fs, m_folder);  // leftover staging: marks the folder live while it is open
    } catch (...) {
      removeQuietly();
      throw;
    }
  }
  StagingFolder(const StagingFolder&) = delete;
  StagingFolder& operator=(const StagingFolder&) = delete;
  ~StagingFolder() {
    if (!m_committed) removeQuietly();
  }

  OpenFile& folder() { return m_folder; }
  const std::string& name() const { return m_name; }

  // A new file in the folder, open for writing and reading back. Its name is remembered before it
  // is created, so that the roll-back finds every file this batch made without listing the folder.
  OpenFile create(const std::string& name) {
    {
      const std::lock_guard lock(m_mutex);
      m_created.push_back(name);
    }
    return m_fs.createExclusiveAt(m_folder, name);
  }

  // Once the rename has succeeded the batch is saved and visible: nothing may take it away again.
  void committed() { m_committed = true; }

 private:
  // Removes the files by the names this batch gave them, through the descriptors it already
  // holds, then the folder: a roll-back after running out of descriptors (or memory) still
  // leaves nothing behind. Only when something else is in there (a removal failed, or another
  // program put a file in) is the folder emptied by listing it, which needs descriptors of its
  // own.
  void removeQuietly() noexcept {
    if (!m_exists) return;
    if (m_folder.fd) {
      for (const std::string& name : m_created) {
        try {
          m_fs.removeFileAt(m_folder, name);
        } catch (...) {
          // Left to the thorough removal below.
        }
      }
      m_folder.fd.reset();
    }
    try {
      m_fs.removeEmptyFolderAt(m_destination, m_name);
      return;
    } catch (...) {
    }
    try {
      m_fs.removeTreeAt(m_destination, m_name);
    } catch (...) {
      // The folder stays behind under its hidden name; nothing better can be done here.
    }
  }

  FileSystem& m_fs;
  OpenFile& m_destination;
  std::string m_name;
  OpenFile m_folder;
  std::mutex m_mutex;  // files are created from both of a batch's threads
  std::vector<std::string> m_created;
  bool m_exists = false;
  bool m_committed = false;
};

// Below this size a second thread costs more than it saves.
constexpr std::int64_t kParallelReadThreshold = 4 << 20;
// Copies move at most this much per call, so progress and a stop request are heard between chunks.
constexpr std::size_t kCopyChunk = 4 << 20;
// Below this size a copy is not worth a separate call to start its write-back early.
constexpr std::int64_t kWriteBackThreshold = 1 << 20;

// The batch's one extra thread, started once and fed one job at a time: its share of the pairs,
// or the second of a lone large pair's two reads. A batch never runs on more than two threads,
// and never pays for starting a thread per pair. When no thread can be started (process or
// memory limits), `available` is false and everything runs on the batch's own thread.
class SecondThread {
 public:
  SecondThread() {
    try {
      m_thread = std::thread([this] { serve(); });
    } catch (const std::system_error&) {
      // One thread can do the batch; it is only slower.
    }
  }
  SecondThread(const SecondThread&) = delete;
  SecondThread& operator=(const SecondThread&) = delete;
  ~SecondThread() {
    {
      const std::lock_guard lock(m_mutex);
      m_closing = true;
    }
    m_wake.notify_one();
    if (m_thread.joinable()) m_thread.join();
  }

  bool available() const { return m_thread.joinable(); }

  // Hands `job` over; its result or failure arrives through the future. The caller waits for one
  // job's future before it submits the next.
  template <class Job>
  auto submit(Job job) {
    using Result = decltype(job());
    auto task = std::make_shared<std::packaged_task<Result()>>(std::move(job));
    auto result = task->get_future();
    {
      const std::lock_guard lock(m_mutex);
      m_job = [task] { (*task)(); };
    }
    m_wake.notify_one();
    return result;
  }

 private:
  void serve() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock lock(m_mutex);
        m_wake.wait(lock, [this] { return m_closing || m_job; });
        if (!m_job) return;
        job = std::exchange(m_job, nullptr);
      }
      job();  // a packaged task: whatever it throws goes into its future
    }
  }

  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::function<void()> m_job;
  bool m_closing = false;
  std::thread m_thread;
};

// Runs `first` and `second` and returns both results. With `helper`, `second` runs on the second
// thread meanwhile; either way a failure of `first` is thrown before a failure of `second`, as if
// they had run one after the other, and `second` is never abandoned while it still reads a file.
template <class First, class Second>
auto bothInOrder(SecondThread* helper, First first, Second second) {
  if (!helper || !helper->available()) {
    auto a = first();
    return std::pair(std::move(a), second());
  }
  auto pending = helper->submit(second);
  std::exception_ptr firstFailure;
  std::optional<decltype(first())> a;
  try {
    a.emplace(first());
  } catch (...) {
    firstFailure = std::current_exception();
  }
  pending.wait();
  if (firstFailure) std::rethrow_exception(firstFailure);
  return std::pair(std::move(*a), pending.get());
}

std::string_view extensionFor(const std::string& mediaFormat) {
  if (mediaFormat == "JPEG") return "jpg";
  if (mediaFormat == "TIFF") return "tif";
  if (mediaFormat == "PNG") return "png";
  // imageInfo reports only the three formats above; anything else is refused, never trusted.
  throw BridgeFailure(kNotAnAcceptedImageMessage);
}

// Tells the observer how far the batch is and honours its request to stop. Chunks may be counted
// from any thread; the observer itself only ever hears from the thread running the batch.
class Progress {
 public:
  Progress(const BatchObserver* observer, const BatchRequest& request, FileSystem& fs)
      : m_observer(observer) {
    m_state.itemCount = request.items.size();
    if (!m_observer || !m_observer->progress) return;
    // Each original is read twice, each render four times (hash, copy, hash of the copy, the
    // copy again from the medium). The sizes are only an estimate for the progress bar; the real
    // checks come later, in order.
    for (const auto& pair : request.items) {
      m_state.bytesTotal += 2 * sizeOf(fs, pair.sourcePath) + 4 * sizeOf(fs, pair.renderPath);
    }
    report();
  }

  // Pairs before `item` are done: the observer hears of every pair up to it, one after another,
  // as it would if the pairs were staged one at a time.
  void reached(std::size_t item) {
    item = std::min(item, m_state.itemCount - 1);
    if (m_started && item <= m_state.item) return;
    m_state.phase = BatchPhase::staging;
    for (std::size_t next = m_started ? m_state.item + 1 : 0; next <= item; ++next) {
      m_state.item = next;
      report();
    }
    m_started = true;
  }

  void finishing() {
    m_state.phase = BatchPhase::finishing;
    m_state.bytesDone = m_state.bytesTotal;
    report();
    checkStop();
  }

  // A chunk read, hashed or copied on the batch's own thread: counted, reported, and the place
  // where a stop request ends the batch.
  void chunk(std::size_t bytes) {
    m_done += bytes;
    report();
    checkStop();
  }

  // The same from a helper thread: counted and checked, reported later by the batch's thread.
  void chunkElsewhere(std::size_t bytes) {
    m_done += bytes;
    checkStop();
  }

  void checkStop() const {
    if (!m_observer) return;
    if (m_observer->stop.stop_requested() ||
        (m_observer->stopFlag && m_observer->stopFlag->load(std::memory_order_relaxed))) {
      throw BridgeFailure(kBatchStoppedMessage);
    }
  }

  void report() {
    if (!m_observer || !m_observer->progress) return;
    m_state.bytesDone = std::min(m_state.bytesTotal, m_done.load());
    m_observer->progress(m_state);
  }

 private:
  static std::uint64_t sizeOf(FileSystem& fs, const std::string& path) {
    try {
      const auto status = fs.status(fileLocation(path));
      return status.size > 0 ? static_cast<std::uint64_t>(status.size) : 0;
    } catch (const std::exception&) {
      return 0;
    }
  }

  const BatchObserver* m_observer;
  BatchProgress m_state;
  bool m_started = false;  // whether the observer has heard of a pair yet
  std::atomic<std::uint64_t> m_done = 0;
};

// Runs `step` and, if it throws, records that `subject` is at fault before passing the failure on.
template <class Step>
auto blaming(BatchSubject& site, BatchSubject subject, Step&& step) {
  try {
    return step();
  } catch (...) {
    site = subject;
    throw;
  }
}

// Runs two steps with bothInOrder and, when they fail, blames the file of the failure that is
// reported: the first step's if it failed, the second's otherwise. Each step records its own
// subject, so the two threads never write the same variable.
template <class First, class Second>
auto bothBlamed(SecondThread* helper, BatchSubject& site, First first, Second second) {
  BatchSubject firstFailed = BatchSubject::none;
  BatchSubject secondFailed = BatchSubject::none;
  bool firstDidFail = false;
  try {
    return bothInOrder(
        helper,
        [&] {
          try {
            return first(firstFailed);
          } catch (...) {
            firstDidFail = true;
            throw;
          }
        },
        [&] { return second(secondFailed); });
  } catch (...) {
    site = firstDidFail ? firstFailed : secondFailed;
    throw;
  }
}

using ChunkHook = std::function<void(std::size_t)>;

// The hash of an original or a render, of exactly the size its open saw: a file that ends sooner
// or holds more when read was changed by another program meanwhile.
std::string hashOfAdmitted(OpenFile& file, FileSystem& fs, const ChunkHook& onChunk) {
  std::optional<std::string> hash =
      sha256OfSize(file, fs, static_cast<std::uint64_t>(file.status.size), onChunk);
  if (!hash) throw BridgeFailure(kChangedDuringTransferMessage);
  return std::move(*hash);
}

// Opens a file that admission has examined and insists on finding the very file it admitted: the
// same device, inode and size. Anything else was put there, or changed, since; nothing of it is
// read, so a huge file renamed onto the path costs nothing.
OpenFile openAdmitted(const std::string& path, const FileStatus& admitted, FileSystem& fs) {
  OpenFile file = fs.openForReading(path);
  if (!sameFile(file.status, admitted) || file.status.size != admitted.size) {
    throw BridgeFailure(kChangedDuringTransferMessage);
  }
  return file;
}

// What the reads of one pair found: everything its copy and the checks after it need.
struct PairReads {
  std::string original;
  FileStatus originalStatus;  // as admitted
  OpenFile render;  // the one descriptor the render is inspected, hashed and copied through
  std::int64_t renderSize = 0;
  std::string sourceSha256;
  ImageInfo image;
  std::string renderSha256;
  bool large = false;  // worth splitting the pair's two reads over two threads
};

// Checks, admits, inspects and hashes one pair, in this order: the pairing, the original's and
// the render's admission, the render's size as admission saw it, the original's hash, the
// render's description and hash. A failure is that of the first step that fails. `here` hears
// the chunks read on the calling thread, `elsewhere` those read on the second thread; with
// `helper` free, a large pair's two reads run side by side, and their failures still come out in
// that order. `site` learns which file a failure concerns.
PairReads readPair(const Pair& pair, FileSystem& fs, SecondThread* helper, const ChunkHook& here,
                   const ChunkHook& elsewhere, BatchSubject& site) {
  site = BatchSubject::original;
  if (pair.externalPhotoId.empty() || pair.externalVariantId.empty()) {
    throw BridgeFailure(kPairingMissingMessage);
  }
  PairReads reads;
  reads.original = fileLocation(pair.sourcePath);
  const std::string render = fileLocation(pair.renderPath);

  reads.originalStatus = admittedStatus(reads.original, fs);
  site = BatchSubject::render;
  const FileStatus renderStatus = admittedStatus(render, fs);
  if (renderStatus.size > kLargestRender) throw BridgeFailure(kRenderTooLargeMessage);
  reads.renderSize = renderStatus.size;
  reads.large = std::min(reads.originalStatus.size, renderStatus.size) >= kParallelReadThreshold;

  SecondThread* split = reads.large ? helper : nullptr;
  auto firstReads = bothBlamed(
      split, site,
      [&](BatchSubject& blame) {
        return blaming(blame, BatchSubject::original, [&] {
          OpenFile original = openAdmitted(reads.original, reads.originalStatus, fs);
          return hashOfAdmitted(original, fs, here);
        });
      },
      [&](BatchSubject& blame) {
        return blaming(blame, BatchSubject::render, [&] {
          // The render is opened once: what is inspected, hashed and copied is one and the same
          // file, even if another program renames a new file onto its path meanwhile. A render
          // that cannot be opened cannot be inspected either, and is no acceptable image.
          try {
            reads.render = openAdmitted(render, renderStatus, fs);
          } catch (const std::system_error&) {
            throw BridgeFailure(kNotAnAcceptedImageMessage);
          }
          ImageInfo image = imageInfo(reads.render, fs);
          return std::pair(std::move(image),
                           hashOfAdmitted(reads.render, fs, split ? elsewhere : here));
        });
      });
  reads.sourceSha256 = std::move(firstReads.first);
  reads.image = std::move(firstReads.second.first);
  reads.renderSha256 = std::move(firstReads.second.second);
  return reads;
}

// A staged copy on its way to the disk: kept open until it has been flushed and read back.
struct StagedCopy {
  OpenFile file;
  std::size_t pair = 0;
  std::uint64_t size = 0;
  std::string sha256;
};

struct StagedItem {
  ManifestItem item;
  StagedCopy copy;
};

// Copies a pair's render into the staging folder, proves that the copy holds what was hashed and
// is described as the render was, and that the original did not change, and assembles its
// manifest item. Runs on the batch's thread.
StagedItem finishPair(PairReads& reads, const Pair& pair, std::size_t index,
                      StagingFolder& staging, const std::string& provider,
                      const std::string& fingerprint, FileSystem& fs, SecondThread* helper,
                      const ChunkHook& here, const ChunkHook& elsewhere, BatchSubject& site) {
  // From here on a failure that names the staging folder is the destination's, not the render's.
  site = BatchSubject::render;
  const std::string renderFilename =
      randomUUID() + "." + std::string(extensionFor(reads.image.mediaFormat));
  const auto renderSize = static_cast<std::uint64_t>(reads.renderSize);
  std::uint64_t copiedSize = 0;
  OpenFile copy = [&] {
    try {
      OpenFile created = staging.create(renderFilename);
      // Hashing and copying are separate passes on purpose: a render that is still being written
      // reads differently the second time, and the verification below catches it. One byte past
      // the hashed size is copied when the render has it, which is enough to know it grew.
      while (copiedSize <= renderSize) {
        const std::size_t copied = fs.copyChunk(
            reads.render, copiedSize, created,
            static_cast<std::size_t>(std::min<std::uint64_t>(kCopyChunk, renderSize + 1 - copiedSize)));
        if (copied == 0) break;
        copiedSize += copied;
        here(copied);
      }
      return created;
    } catch (const std::system_error& failure) {
      if (std::string_view(failure.what()).find(staging.folder().path) != std::string_view::npos) {
        site = BatchSubject::none;
      }
      throw;
    }
  }();
  if (copiedSize != renderSize) throw BridgeFailure(kChangedDuringTransferMessage);
  // Start writing a large copy to disk now; the fsync before the manifest then finds little to
  // do. For small files the fsync alone is cheaper than one more call each.
  if (reads.renderSize >= kWriteBackThreshold) fs.startWriteBack(copy);
  reads.render.fd.reset();

  // The copy's hash, then the original's second hash, both after the copy is complete.
  SecondThread* split = reads.large ? helper : nullptr;
  bothBlamed(
      split, site,
      [&](BatchSubject& blame) {
        // A copy that cannot be read back is the destination's trouble; one that differs from
        // what was hashed means the render changed underneath.
        if (sha256OfSize(copy, fs, copiedSize, here) != reads.renderSha256) {
          blame = BatchSubject::render;
          throw BridgeFailure(kChangedDuringTransferMessage);
        }
        // The description goes into the manifest beside the digest, so it must be that of the
        // bytes stored: the render's headers may have been rewritten in place between its
        // inspection and its hash. The copy is this batch's own file, which nobody else writes.
        std::optional<ImageInfo> stored;
        try {
          stored = storedImageInfo(copy, fs);
        } catch (const BridgeFailure&) {
          // Refused now, so not the image that was admitted.
        }
        if (stored != reads.image) {
          blame = BatchSubject::render;
          throw BridgeFailure(kChangedDuringTransferMessage);
        }
        return 0;
      },
      [&](BatchSubject& blame) {
        return blaming(blame, BatchSubject::original, [&] {
          // Reopened by path, so that an original replaced meanwhile is caught, at once.
          OpenFile original = openAdmitted(reads.original, reads.originalStatus, fs);
          if (hashOfAdmitted(original, fs, split ? elsewhere : here) != reads.sourceSha256) {
            throw BridgeFailure(kChangedDuringTransferMessage);
          }
          return 0;
        });
      });
  site = BatchSubject::none;

  StagedItem staged;
  staged.copy = StagedCopy{std::move(copy), index, copiedSize, reads.renderSha256};
  ManifestItem& item = staged.item;
  item.image = std::move(reads.image);
  item.externalPhotoId = pair.externalPhotoId;
  item.externalVariantId = pair.externalVariantId;
  item.renderFilename = renderFilename;
  item.renderId = stableUUID(reads.renderSha256);
  item.renderSha256 = reads.renderSha256;
  item.sourceSha256 = reads.sourceSha256;
  item.variantId = variantId(provider, fingerprint, pair.externalVariantId, reads.sourceSha256);
  return staged;
}

// The pairs of one batch as its two threads share them. Each thread takes the next pair in
// request order and stages it whole; at most two pairs are in flight. Once a pair fails, no new
// pair is taken and pairs after it are cancelled at their next chunk, while pairs before it run
// to their end: their failure, should they fail too, is the one that counts.
class SharedPairs {
 public:
  explicit SharedPairs(std::size_t count)
      : m_staged(count),
        m_failures(count),
        m_subjects(count, BatchSubject::none),
        m_storedFiles(count),
        m_finished(count, false) {}

  std::optional<std::size_t> take() {
    const std::lock_guard lock(m_mutex);
    if (m_firstFailed || m_next >= m_staged.size()) return std::nullopt;
    return m_next++;
  }

  void staged(std::size_t pair, ManifestItem item) {
    m_staged[pair] = std::move(item);  // each pair's slot is written by one thread only
    const std::lock_guard lock(m_mutex);
    m_finished[pair] = true;
  }

  void failed(std::size_t pair, std::exception_ptr failure, BatchSubject subject,
              std::optional<std::string> storedFile = std::nullopt) {
    m_failures[pair] = std::move(failure);
    m_subjects[pair] = subject;
    m_storedFiles[pair] = std::move(storedFile);
    const std::lock_guard lock(m_mutex);
    m_finished[pair] = true;
    if (!m_firstFailed || pair < *m_firstFailed) m_firstFailed = pair;
    m_cancelAbove = std::min(m_cancelAbove.load(), pair);
  }

  // Whether a pair's work is no longer wanted, because an earlier pair failed.
  bool cancelled(std::size_t pair) const { return pair > m_cancelAbove.load(); }

  // The first pair, in request order, that is not finished yet (the count when all are).
  std::size_t firstUnfinished() {
    const std::lock_guard lock(m_mutex);
    while (m_firstUnfinished < m_finished.size() && m_finished[m_firstUnfinished]) {
      ++m_firstUnfinished;
    }
    return m_firstUnfinished;
  }

  // After both threads are done: the first failure in request order, if any.
  std::optional<std::size_t> firstFailure() const { return m_firstFailed; }
  std::exception_ptr failure(std::size_t pair) const { return m_failures[pair]; }
  BatchSubject subject(std::size_t pair) const { return m_subjects[pair]; }
  const std::optional<std::string>& storedFile(std::size_t pair) const {
    return m_storedFiles[pair];
  }
  ManifestItem& item(std::size_t pair) { return *m_staged[pair]; }

 private:
  std::mutex m_mutex;
  std::size_t m_next = 0;
  std::size_t m_firstUnfinished = 0;
  std::optional<std::size_t> m_firstFailed;
  std::atomic<std::size_t> m_cancelAbove = SIZE_MAX;
  std::vector<std::optional<ManifestItem>> m_staged;
  std::vector<std::exception_ptr> m_failures;
  std::vector<BatchSubject> m_subjects;
  std::vector<std::optional<std::string>> m_storedFiles;
  std::vector<bool> m_finished;
};

// Sends a flushed file's cached pages away and has the device read it back, so that the next
// hash sees the bytes as the destination's medium (a disk, a card, a share) holds them, not the
// memory that merely held what was written. Only clean pages can be dropped, hence after the
// flush. The read-back is started here and runs in the background; hashing later finds the pages
// the device returned. Where the file system keeps its pages anyway (tmpfs, whose pages are the
// file; some network and FUSE file systems), the hash reads memory and proves no more than the
// earlier one did; that is not a failure.
void refetchFromMedium(OpenFile& file, FileSystem& fs) {
  fs.dropCachedPages(file);
  fs.prefetch(file);
}

// The copies of one thread on their way to the medium and back. A pair's copy is flushed after
// the thread's next pair is staged (its write-back started with the copy, so the flush finds
// little left to write), then dropped from memory and read back in the background while the pair
// after it is staged, and only then hashed: the device's reads overlap the hashing of other pairs.
// A copy that fails any of it is its pair's failure.
class MediumCheck {
 public:
  MediumCheck(SharedPairs& pairs, FileSystem& fs, std::function<ChunkHook(std::size_t)> hookFor)
      : m_pairs(pairs), m_fs(fs), m_hookFor(std::move(hookFor)) {}

  // A pair's copy has been staged: older copies move on by one step.
  void staged(StagedCopy copy) {
    verifyFetched();
    fetch(m_written);
    m_written.push_back(std::move(copy));
  }

  // The thread is done staging: everything left is flushed, read back and checked.
  void finish() {
    verifyFetched();
    fetch(m_written);
    verifyFetched();
  }

 private:
  void fetch(std::vector<StagedCopy>& copies) {
    for (StagedCopy& copy : copies) {
      try {
        m_fs.sync(copy.file);
        refetchFromMedium(copy.file, m_fs);
        m_fetched.push_back(std::move(copy));
      } catch (...) {
        m_pairs.failed(copy.pair, std::current_exception(), BatchSubject::none);
      }
    }
    copies.clear();
  }

  void verifyFetched() {
    for (StagedCopy& copy : m_fetched) {
      try {
        if (sha256OfSize(copy.file, m_fs, copy.size, m_hookFor(copy.pair)) != copy.sha256) {
          throw BridgeFailure(kMediumMismatchMessage);
        }
      } catch (const BridgeFailure&) {
        m_pairs.failed(copy.pair, std::current_exception(), BatchSubject::none, copy.file.path);
      } catch (...) {
        m_pairs.failed(copy.pair, std::current_exception(), BatchSubject::none);
      }
    }
    m_fetched.clear();
  }

  SharedPairs& m_pairs;
  FileSystem& m_fs;
  std::function<ChunkHook(std::size_t)> m_hookFor;
  std::vector<StagedCopy> m_written;  // copied, write-back started
  std::vector<StagedCopy> m_fetched;  // flushed, being read back from the medium
};

// The destination, opened once for the whole batch. Whatever keeps us from using it (missing, not
// a folder, not readable so that its entries could not be made durable) means the user has to
// choose another folder, before anything is written.
OpenFile openDestination(const std::string& destination, FileSystem& fs) {
  // The result names the batch folder by this path; one that is not valid UTF-8 could not be
  // written into it exactly, and a caller would look for a folder that does not exist.
  if (!isValidUtf8(destination)) throw BridgeFailure(kChooseFolderAgainMessage);
  try {
    return fs.openDirectory(destination);
  } catch (const std::system_error&) {
    throw BridgeFailure(kChooseFolderAgainMessage);
  }
}

// What the open destination is, so that the path can be held to it before the commit. A folder
// that cannot even be examined cannot be saved into.
FileStatus statusOfDestination(OpenFile& destination, FileSystem& fs) {
  try {
    return fs.status(destination);
  } catch (const std::system_error&) {
    throw BridgeFailure(kChooseFolderAgainMessage);
  }
}

void requireSameDestination(const std::string& path, const FileStatus& opened, FileSystem& fs) {
  FileStatus now;
  try {
    now = fs.status(path);
  } catch (const std::system_error&) {
    throw BridgeFailure(kChooseFolderAgainMessage);
  }
  if (!now.isDirectory || !sameFile(now, opened)) throw BridgeFailure(kChooseFolderAgainMessage);
}

// Where one batch is made: the destination as opened, and the names of the batch's folders.
struct BatchPlace {
  std::string destinationPath;
  OpenFile destination;
  FileStatus destinationStatus;
  std::string batchId;
  std::string batchName;     // what the staging folder is renamed to
  std::string batchPath;     // ... and where the caller will find it
  std::string stagingName;   // hidden until the commit
};

BatchResult stageAndCommit(const BatchRequest& request, FileSystem& fs,
                           const BatchObserver* observer, BatchFailureSite& site,
                           BatchPlace& place) {
  OpenFile& destination = place.destination;
  Progress progress(observer, request, fs);
  // Leftover staging: what dead batches left here is claimed before this batch's own folder is
  // made, and removed once that folder is locked.
  LeftoverStaging leftovers(fs, destination);
  StagingFolder staging(fs, destination, place.stagingName, request.items.size() + 1);
  leftovers.clear();

  Manifest manifest;
  manifest.catalogFingerprint = catalogFingerprint(request.provider, request.catalogId);
  manifest.provider = request.provider;
  manifest.transferBatchId = place.batchId;
  manifest.items.reserve(request.items.size());
  // Two pairs in flight, one on each thread: each thread takes the next pair and stages it whole.
  // Results, failures and reports come out exactly as if the pairs ran one after another: the
  // manifest keeps request order, the first failure in request order is the one thrown, and the
  // observer hears of the pairs in order, from this thread only.
  const auto& items = request.items;
  SharedPairs pairs(items.size());
  SecondThread helper;
  // A lone pair may split its two reads over both threads; with more, each thread has a pair.
  SecondThread* split = items.size() == 1 ? &helper : nullptr;
  const ChunkHook elsewhere = [&](std::size_t bytes) { progress.chunkElsewhere(bytes); };
  const auto stagePairs = [&](bool onThisThread) {
    const auto chunkHookFor = [&](std::size_t index) -> ChunkHook {
      return [&, index, onThisThread](std::size_t bytes) {
        if (pairs.cancelled(index)) throw BridgeFailure(kBatchStoppedMessage);
        if (!onThisThread) return progress.chunkElsewhere(bytes);
        progress.reached(pairs.firstUnfinished());
        progress.chunk(bytes);
      };
    };
    // Reading copies back comes after their pairs are done: counted and checked, but no pair is
    // reached by it, so that the observer never hears of a pair beyond one that failed.
    const auto settleHookFor = [&](std::size_t index) -> ChunkHook {
      return [&, index, onThisThread](std::size_t bytes) {
        if (pairs.cancelled(index)) throw BridgeFailure(kBatchStoppedMessage);
        if (onThisThread) {
          progress.chunk(bytes);
        } else {
          progress.chunkElsewhere(bytes);
        }
      };
    };
    // Each thread flushes and reads back its own copies, overlapping the other pairs' work.
    MediumCheck medium(pairs, fs, settleHookFor);
    while (const std::optional<std::size_t> pair = pairs.take()) {
      const ChunkHook chunk = chunkHookFor(*pair);
      BatchSubject subject = BatchSubject::none;
      std::optional<StagedCopy> copy;
      try {
        if (onThisThread) progress.reached(pairs.firstUnfinished());
        progress.checkStop();
        PairReads reads = readPair(items[*pair], fs, split, chunk, elsewhere, subject);
        StagedItem staged =
            finishPair(reads, items[*pair], *pair, staging, request.provider,
                       manifest.catalogFingerprint, fs, split, chunk, elsewhere, subject);
        copy = std::move(staged.copy);
        pairs.staged(*pair, std::move(staged.item));
      } catch (...) {
        pairs.failed(*pair, std::current_exception(), subject);
      }
      if (copy) medium.staged(std::move(*copy));
    }
    medium.finish();
  };
  {
    std::future<void> other;
    if (items.size() > 1 && helper.available()) {
      other = helper.submit([&] { stagePairs(false); });
    }
    try {
      stagePairs(true);
    } catch (...) {
      if (other.valid()) other.wait();
      throw;
    }
    if (other.valid()) other.get();
  }
  if (const std::optional<std::size_t> failed = pairs.firstFailure()) {
    progress.reached(*failed);
    site.item = *failed;
    site.subject = pairs.subject(*failed);
    site.storedFile = pairs.storedFile(*failed);
    std::rethrow_exception(pairs.failure(*failed));
  }
  progress.reached(items.size() - 1);
  for (std::size_t i = 0; i < items.size(); ++i) manifest.items.push_back(std::move(pairs.item(i)));
  progress.finishing();
  // A batch reported as saved must survive a power loss: every render reached the disk above,
  // before the manifest that vouches for it; the staging folder's entries reach it before the
  // rename, the rename itself after.
  manifest.issuedAt = currentTimeISO8601();

  {
    // The staging folder is new and private to this call, so the manifest is created there
    // directly; it becomes visible only with the whole batch, through the rename below.
    OpenFile file = staging.create(kManifestFileName);
    const std::string bytes = encodeManifest(manifest);
    fs.writeAll(file, std::as_bytes(std::span<const char>(bytes.data(), bytes.size())));
    fs.sync(file);
    refetchFromMedium(file, fs);
    if (sha256OfSize(file, fs, bytes.size()) != digest(bytes)) {
      site.storedFile = file.path;
      throw BridgeFailure(kMediumMismatchMessage);
    }
  }
  fs.sync(staging.folder());
  progress.checkStop();
  // The path the caller named must still lead to the folder worked in: committed into a folder
  // moved elsewhere (or behind a link repointed), the batch would be reported under a path where
  // it is not. What this cannot close is the moment between this check and the rename below: a
  // folder moved within it takes the batch along, and no call can check and rename in one step.
  requireSameDestination(place.destinationPath, place.destinationStatus, fs);
  renameNoReplaceAt(destination, staging.name(), place.batchName, fs);
  staging.committed();
  try {
    fs.sync(destination);
  } catch (...) {
    // The batch is saved and visible; reporting a failure now would make the caller think
    // otherwise, and removing it would take away what another program may already be reading.
    // Only whether the rename survives a power cut is in doubt, and nothing here can mend that.
  }
  return BatchResult{place.batchPath, static_cast<std::int64_t>(manifest.items.size()),
                     std::nullopt};
}

BatchResult runBatch(const BatchRequest& request, FileSystem& fs, const BatchObserver* observer,
                     BatchFailureSite& site) {
  const bool providerAccepted = std::find(kAcceptedProviders.begin(), kAcceptedProviders.end(),
                                          request.provider) != kAcceptedProviders.end();
  if (!providerAccepted || request.catalogId.empty() || request.items.empty() ||
      request.items.size() > kMaxItems) {
    throw BridgeFailure(kBatchSizeMessage);
  }

  BatchPlace place;
  place.destinationPath = fileLocation(request.destination);
  place.destination = openDestination(place.destinationPath, fs);
  place.destinationStatus = statusOfDestination(place.destination, fs);
  place.batchId = randomUUID();
  place.batchName = std::string(kBatchFolderPrefix) + place.batchId;
  place.batchPath = appendComponent(place.destinationPath, place.batchName);
  place.stagingName = std::string(kStagingFolderPrefix) + place.batchId;
  // Failures inside the staging folder name the path the batch folder would have had, never the
  // hidden name: the user reads of the folder they chose, and of the file they would find there.
  const std::string stagingPath = appendComponent(place.destinationPath, place.stagingName);
  try {
    return stageAndCommit(request, fs, observer, site, place);
  } catch (...) {
    if (site.storedFile && site.storedFile->starts_with(stagingPath)) {
      site.storedFile->replace(0, stagingPath.size(), place.batchPath);
    }
    try {
      throw;
    } catch (const std::system_error& failure) {
      rethrowNaming(failure, stagingPath, place.batchPath);
    }
  }
}

}  // namespace

BatchResult createBatch(const BatchRequest& request, FileSystem& fs,
                        const BatchObserver* observer) {
  BatchFailureSite site;
  try {
    return runBatch(request, fs, observer, site);
  } catch (...) {
    if (observer && observer->failed) {
      try {
        observer->failed(site);
      } catch (...) {
        // A listener's own trouble must not replace the batch's failure.
      }
    }
    throw;
  }
}

}  // namespace quillmere
