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
#include "transfer/manifest.h"

namespace quillmere {

namespace {

constexpr std::array<std::string_view, 2> kAcceptedProviders = {"LIGHTROOM_CLASSIC", "CAPTURE_ONE"};
constexpr std::size_t kMaxItems = 500;
constexpr std::int64_t kLargestRender = 536'870'912;  // 512 MiB, admitted
constexpr std::string_view kBatchFolderPrefix = "Quillmere-";
constexpr std::string_view kStagingFolderPrefix = ".quillmere-partial-";

// Owns the hidden folder a batch is built in, inside the open destination folder. Unless the batch
// is committed, the folder is removed with everything in it, whatever failed and however we
// leave; a failure of that removal is ignored so that the failure which caused the roll-back is
// the one the caller receives. Everything is relative to the destination's descriptor, so a path
// to the destination repointed meanwhile cannot scatter the batch or its removal.
class StagingFolder {
 public:
  StagingFolder(FileSystem& fs, OpenFile& destination, std::string name)
      : m_fs(fs), m_destination(destination), m_name(std::move(name)) {
    m_fs.createDirectoryAt(m_destination, m_name);
    try {
      m_folder = m_fs.openDirectoryAt(m_destination, m_name);
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

  // Once the rename has succeeded the batch is saved and visible: nothing may take it away again.
  void committed() { m_committed = true; }

 private:
  void removeQuietly() noexcept {
    m_folder.fd.reset();
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
  bool m_committed = false;
};

// Below this size a second thread costs more than it saves.
constexpr std::int64_t kParallelReadThreshold = 4 << 20;
// Copies move at most this much per call, so progress and a stop request are heard between chunks.
constexpr std::size_t kCopyChunk = 4 << 20;
// Below this size a copy is not worth a separate call to start its write-back early.
constexpr std::int64_t kWriteBackThreshold = 1 << 20;
// Staged renders waiting for their fsync are kept open (no reopening by path), but never more
// than this many on each thread, so a batch of 500 stays far from the descriptor limit.
constexpr std::size_t kMostUnsyncedCopies = 32;

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
    // Each original is read twice, each render three times (hash, copy, hash of the copy). The
    // sizes are only an estimate for the progress bar; the real checks come later, in order.
    for (const auto& pair : request.items) {
      m_state.bytesTotal += 2 * sizeOf(fs, pair.sourcePath) + 3 * sizeOf(fs, pair.renderPath);
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

// What the reads of one pair found: everything its copy and the checks after it need.
struct PairReads {
  std::string original;
  OpenFile render;  // the one descriptor the render is inspected, hashed and copied through
  std::int64_t renderSize = 0;
  std::string sourceSha256;
  ImageInfo image;
  std::string renderSha256;
  bool large = false;  // worth splitting the pair's two reads over two threads
};

// Checks, admits, inspects and hashes one pair. `here` hears the chunks read on the calling
// thread, `elsewhere` those read on the second thread; with `helper` free, a large pair's two
// reads run side by side. `site` learns which file a failure concerns.
PairReads readPair(const Pair& pair, FileSystem& fs, SecondThread* helper, const ChunkHook& here,
                   const ChunkHook& elsewhere, BatchSubject& site) {
  site = BatchSubject::original;
  if (pair.externalPhotoId.empty() || pair.externalVariantId.empty()) {
    throw BridgeFailure(kPairingMissingMessage);
  }
  PairReads reads;
  reads.original = fileLocation(pair.sourcePath);
  const std::string render = fileLocation(pair.renderPath);

  const FileStatus originalStatus = admittedStatus(reads.original, fs);
  site = BatchSubject::render;
  admittedStatus(render, fs);

  // The render is opened once: what is inspected, hashed and copied is one and the same file,
  // even if another program renames a new file onto its path meanwhile. Its size and kind come
  // from the open file for the same reason.
  reads.render = fs.openForReading(render);
  const FileStatus renderStatus = reads.render.status;
  if (!renderStatus.isRegular || renderStatus.size < 1 ||
      renderStatus.size > kLargestAdmittedFile) {
    throw BridgeFailure(kPhotoNotAdmittedMessage);
  }
  if (renderStatus.size > kLargestRender) throw BridgeFailure(kRenderTooLargeMessage);
  reads.renderSize = renderStatus.size;
  reads.large = std::min(originalStatus.size, renderStatus.size) >= kParallelReadThreshold;

  // The original's first hash, then the render's inspection and hash; failures surface in the
  // order of the steps whichever thread ran them.
  SecondThread* split = reads.large ? helper : nullptr;
  auto firstReads = bothBlamed(
      split, site,
      [&](BatchSubject& blame) {
        return blaming(blame, BatchSubject::original, [&] {
          OpenFile original = fs.openForReading(reads.original);
          // Sizes come from the opens, so no read is spent finding an end: a file that grows or
          // shrinks between two hashes hashes differently, and the checks below notice.
          return hashOfAdmitted(original, fs, here);
        });
      },
      [&](BatchSubject& blame) {
        return blaming(blame, BatchSubject::render, [&] {
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

struct StagedItem {
  ManifestItem item;
  OpenFile copy;  // still open, to be fsynced before the manifest vouches for it
};

// Copies a pair's render into the staging folder, proves that the copy holds what was hashed and
// that the original did not change, and assembles its manifest item. Runs on the batch's thread.
StagedItem finishPair(PairReads& reads, const Pair& pair, StagingFolder& staging,
                      const std::string& provider, const std::string& fingerprint, FileSystem& fs,
                      SecondThread* helper, const ChunkHook& here, const ChunkHook& elsewhere,
                      BatchSubject& site) {
  // From here on a failure that names the staging folder is the destination's, not the render's.
  site = BatchSubject::render;
  const std::string renderFilename =
      randomUUID() + "." + std::string(extensionFor(reads.image.mediaFormat));
  std::uint64_t copiedSize = 0;
  OpenFile copy = [&] {
    try {
      OpenFile created = fs.createExclusiveAt(staging.folder(), renderFilename);
      // Hashing and copying are separate passes on purpose: a render that is still being written
      // reads differently the second time, and the verification below catches it.
      // To the end as it is now, not as it was when hashed: a render that grew meanwhile must
      // show in the copy's hash, not be cut back to look unchanged.
      while (const std::size_t copied =
                 fs.copyChunk(reads.render, copiedSize, created, kCopyChunk)) {
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
  // Start writing a large copy to disk now; the fsync before the manifest then finds little to
  // do. For small files the fsync alone is cheaper than one more call each.
  if (reads.renderSize >= kWriteBackThreshold) fs.startWriteBack(copy);
  reads.render.fd.reset();

  // The copy's hash, then the original's second hash (reopening its path, so that an original
  // replaced meanwhile is caught), both after the copy is complete.
  SecondThread* split = reads.large ? helper : nullptr;
  bothBlamed(
      split, site,
      [&](BatchSubject& blame) {
        // A copy that cannot be read back is the destination's trouble; one that differs from
        // what was hashed means the render changed underneath.
        // To the copy's end, whatever was copied: the hash vouches for the whole stored file.
        if (sha256OfSize(copy, fs, copiedSize, here) != reads.renderSha256) {
          blame = BatchSubject::render;
          throw BridgeFailure(kChangedDuringTransferMessage);
        }
        return 0;
      },
      [&](BatchSubject& blame) {
        return blaming(blame, BatchSubject::original, [&] {
          // Reopened by path, so that an original replaced meanwhile is caught.
          OpenFile original = fs.openForReading(reads.original);
          if (hashOfAdmitted(original, fs, split ? elsewhere : here) != reads.sourceSha256) {
            throw BridgeFailure(kChangedDuringTransferMessage);
          }
          return 0;
        });
      });
  site = BatchSubject::none;

  StagedItem staged;
  staged.copy = std::move(copy);
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

  void failed(std::size_t pair, std::exception_ptr failure, BatchSubject subject) {
    m_failures[pair] = std::move(failure);
    m_subjects[pair] = subject;
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
  std::vector<bool> m_finished;
};

void syncAll(std::vector<OpenFile>& files, FileSystem& fs) {
  for (auto& file : files) fs.sync(file);
  files.clear();
}

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

BatchResult runBatch(const BatchRequest& request, FileSystem& fs, const BatchObserver* observer,
                     BatchFailureSite& site) {
  const bool providerAccepted = std::find(kAcceptedProviders.begin(), kAcceptedProviders.end(),
                                          request.provider) != kAcceptedProviders.end();
  if (!providerAccepted || request.catalogId.empty() || request.items.empty() ||
      request.items.size() > kMaxItems) {
    throw BridgeFailure(kBatchSizeMessage);
  }

  const std::string destinationPath = fileLocation(request.destination);
  OpenFile destination = openDestination(destinationPath, fs);

  const std::string batchId = randomUUID();
  const std::string batchName = std::string(kBatchFolderPrefix) + batchId;
  Progress progress(observer, request, fs);
  StagingFolder staging(fs, destination, std::string(kStagingFolderPrefix) + batchId);

  Manifest manifest;
  manifest.catalogFingerprint = catalogFingerprint(request.provider, request.catalogId);
  manifest.provider = request.provider;
  manifest.transferBatchId = batchId;
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
    std::vector<OpenFile> unsynced;
    while (const std::optional<std::size_t> pair = pairs.take()) {
      const ChunkHook chunk = [&, index = *pair](std::size_t bytes) {
        if (pairs.cancelled(index)) throw BridgeFailure(kBatchStoppedMessage);
        if (!onThisThread) return progress.chunkElsewhere(bytes);
        progress.reached(pairs.firstUnfinished());
        progress.chunk(bytes);
      };
      BatchSubject subject = BatchSubject::none;
      try {
        if (onThisThread) progress.reached(pairs.firstUnfinished());
        progress.checkStop();
        PairReads reads = readPair(items[*pair], fs, split, chunk, elsewhere, subject);
        StagedItem staged =
            finishPair(reads, items[*pair], staging, request.provider, manifest.catalogFingerprint,
                       fs, split, chunk, elsewhere, subject);
        unsynced.push_back(std::move(staged.copy));
        if (unsynced.size() >= kMostUnsyncedCopies) syncAll(unsynced, fs);
        pairs.staged(*pair, std::move(staged.item));
      } catch (...) {
        pairs.failed(*pair, std::current_exception(), subject);
      }
    }
    return unsynced;
  };
  std::vector<OpenFile> unsynced;
  {
    std::future<std::vector<OpenFile>> other;
    if (items.size() > 1 && helper.available()) {
      other = helper.submit([&] { return stagePairs(false); });
    }
    try {
      unsynced = stagePairs(true);
    } catch (...) {
      if (other.valid()) other.wait();
      throw;
    }
    if (other.valid()) {
      std::vector<OpenFile> more = other.get();
      std::move(more.begin(), more.end(), std::back_inserter(unsynced));
    }
  }
  if (const std::optional<std::size_t> failed = pairs.firstFailure()) {
    progress.reached(*failed);
    site.item = *failed;
    site.subject = pairs.subject(*failed);
    std::rethrow_exception(pairs.failure(*failed));
  }
  progress.reached(items.size() - 1);
  for (std::size_t i = 0; i < items.size(); ++i) manifest.items.push_back(std::move(pairs.item(i)));
  progress.finishing();
  // A batch reported as saved must survive a power loss: every render reaches the disk before the
  // manifest that vouches for it, the staging folder's entries before the rename, the rename
  // itself after.
  syncAll(unsynced, fs);
  manifest.issuedAt = currentTimeISO8601();

  {
    // The staging folder is new and private to this call, so the manifest is created there
    // directly; it becomes visible only with the whole batch, through the rename below.
    OpenFile file = fs.createExclusiveAt(staging.folder(), kManifestFileName);
    const std::string bytes = encodeManifest(manifest);
    fs.writeAll(file, std::as_bytes(std::span<const char>(bytes.data(), bytes.size())));
    fs.sync(file);
  }
  fs.sync(staging.folder());
  progress.checkStop();
  renameNoReplaceAt(destination, staging.name(), batchName, fs);
  staging.committed();
  try {
    fs.sync(destination);
  } catch (...) {
    // The batch is saved and visible; reporting a failure now would make the caller think
    // otherwise, and removing it would take away what another program may already be reading.
    // Only whether the rename survives a power cut is in doubt, and nothing here can mend that.
  }
  return BatchResult{appendComponent(destinationPath, batchName),
                     static_cast<std::int64_t>(manifest.items.size()), std::nullopt};
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
