#include "transfer/create_batch.h"

#include <algorithm>
#include <array>
#include <future>
#include <optional>
#include <utility>
#include <string>
#include <string_view>
#include <system_error>
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

constexpr std::array<std::string_view, 2> kAcceptedProviders = {"LIGHTROOM_CLASSIC",
                                                                 "CAPTURE_ONE"};
constexpr std::size_t kMaxItems = 500;
constexpr std::int64_t kLargestRender = 536'870'912;  // 512 MiB, admitted
constexpr std::string_view kBatchFolderPrefix = "Quillmere-";
constexpr std::string_view kStagingFolderPrefix = ".quillmere-partial-";

// Owns the hidden folder a batch is built in. Unless the batch is committed, the folder is removed
// with everything in it, whatever failed and however we leave; a failure of that removal is
// ignored so that the failure which caused the roll-back is the one the caller receives.
class StagingFolder {
 public:
  StagingFolder(FileSystem& fs, std::string path) : m_fs(fs), m_path(std::move(path)) {
    m_fs.createDirectory(m_path);
  }
  StagingFolder(const StagingFolder&) = delete;
  StagingFolder& operator=(const StagingFolder&) = delete;
  ~StagingFolder() {
    if (m_committed) return;
    try {
      m_fs.removeTree(m_path);
    } catch (...) {
      // The folder stays behind under its hidden name; nothing better can be done here.
    }
  }

  const std::string& path() const { return m_path; }

  // After the rename the folder lives on under its new name; until the caller commits, a failure
  // still takes it away again, so a batch that was not reported as saved is never left behind.
  void movedTo(std::string path) { m_path = std::move(path); }
  void commit() { m_committed = true; }

 private:
  FileSystem& m_fs;
  std::string m_path;
  bool m_committed = false;
};

// Below this size a second thread costs more than it saves.
constexpr std::int64_t kParallelReadThreshold = 4 << 20;

// Runs `first` and `second` and returns both results. With `parallel`, `second` runs on its own
// thread meanwhile; either way a failure of `first` is thrown before a failure of `second`, as if
// they had run one after the other, and `second` is never abandoned while it still reads a file.
template <class First, class Second>
auto bothInOrder(bool parallel, First first, Second second) {
  if (!parallel) {
    auto a = first();
    return std::pair(std::move(a), second());
  }
  auto pending = std::async(std::launch::async, std::move(second));
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

// Tells the observer how far the batch is and honours its request to stop.
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

  void startItem(std::size_t item) {
    checkStop();
    m_state.phase = BatchPhase::staging;
    m_state.item = item;
    report();
  }

  void finishing() {
    m_state.phase = BatchPhase::finishing;
    report();
    checkStop();
  }

  void advance(std::int64_t bytes) {
    m_state.bytesDone = std::min(m_state.bytesTotal, m_state.bytesDone + static_cast<std::uint64_t>(bytes));
    report();
    checkStop();
  }

  void checkStop() const {
    if (m_observer && m_observer->stop.stop_requested()) throw BridgeFailure(kBatchStoppedMessage);
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

  void report() const {
    if (m_observer && m_observer->progress) m_observer->progress(m_state);
  }

  const BatchObserver* m_observer;
  BatchProgress m_state;
};

ManifestItem stageItem(const Pair& pair, const std::string& stagingFolder,
                       const std::string& provider, const std::string& fingerprint,
                       FileSystem& fs, Progress& progress) {
  if (pair.externalPhotoId.empty() || pair.externalVariantId.empty()) {
    throw BridgeFailure(kPairingMissingMessage);
  }
  const std::string original = fileLocation(pair.sourcePath);
  const std::string render = fileLocation(pair.renderPath);

  regularFile(original, fs);
  regularFile(render, fs);
  const FileStatus renderStatus = fs.status(render);
  if (renderStatus.size > kLargestRender) throw BridgeFailure(kRenderTooLargeMessage);
  const std::int64_t originalSize = fs.status(original).size;

  // Two reads that do not depend on each other run side by side when the files are large enough
  // to be worth a second core; failures still surface in the order of the steps.
  const bool parallel = std::min(originalSize, renderStatus.size) >= kParallelReadThreshold;

  // The original's first hash, then the render's inspection and hash.
  auto firstReads = bothInOrder(
      parallel, [&] { return sha256(original, fs); },
      [&] {
        ImageInfo image = imageInfo(render);
        return std::pair(std::move(image), sha256(render, fs));
      });
  // Plain variables rather than structured bindings: the lambdas below capture them, which older
  // Clang releases do not accept.
  const std::string sourceSha256 = std::move(firstReads.first);
  ImageInfo image = std::move(firstReads.second.first);
  const std::string renderSha256 = std::move(firstReads.second.second);
  progress.advance(originalSize + renderStatus.size);

  const std::string renderFilename =
      randomUUID() + "." + std::string(extensionFor(image.mediaFormat));
  const std::string staged = appendComponent(stagingFolder, renderFilename);
  {
    // Hashing and copying are separate passes on purpose: a render that is still being written
    // reads differently the second or third time, and the verification below catches it.
    OpenFile copy = copyToNewFile(render, staged, fs);
    // Start writing the copy to disk now; the fsync before the commit then finds little to do.
    fs.startWriteBack(copy);
  }
  progress.advance(renderStatus.size);

  // The copy's hash, then the original's second hash, both after the copy is complete.
  bothInOrder(
      parallel,
      [&] {
        if (sha256(staged, fs) != renderSha256) throw BridgeFailure(kChangedDuringTransferMessage);
        return 0;
      },
      [&] {
        if (sha256(original, fs) != sourceSha256) throw BridgeFailure(kChangedDuringTransferMessage);
        return 0;
      });
  progress.advance(renderStatus.size + originalSize);

  ManifestItem item;
  item.image = std::move(image);
  item.externalPhotoId = pair.externalPhotoId;
  item.externalVariantId = pair.externalVariantId;
  item.renderFilename = renderFilename;
  item.renderId = stableUUID(renderSha256);
  item.renderSha256 = renderSha256;
  item.sourceSha256 = sourceSha256;
  item.variantId = variantId(provider, fingerprint, pair.externalVariantId, sourceSha256);
  return item;
}

void syncFile(const std::string& path, FileSystem& fs) {
  OpenFile file = fs.openForReading(path);
  fs.sync(file);
}

}  // namespace

BatchResult createBatch(const BatchRequest& request, FileSystem& fs,
                        const BatchObserver* observer) {
  const bool providerAccepted =
      std::find(kAcceptedProviders.begin(), kAcceptedProviders.end(), request.provider) !=
      kAcceptedProviders.end();
  if (!providerAccepted || request.catalogId.empty() || request.items.empty() ||
      request.items.size() > kMaxItems) {
    throw BridgeFailure(kBatchSizeMessage);
  }

  const std::string destination = fileLocation(request.destination);
  bool isFolder = false;
  try {
    isFolder = fs.status(destination).isDirectory;
  } catch (const std::system_error&) {
    // Missing, unreachable or unreadable: the user has to choose another folder either way.
  }
  if (!isFolder) throw BridgeFailure(kChooseFolderAgainMessage);

  const std::string batchId = randomUUID();
  const std::string batchFolder =
      appendComponent(destination, std::string(kBatchFolderPrefix) + batchId);
  Progress progress(observer, request, fs);
  StagingFolder staging(fs, appendComponent(destination, std::string(kStagingFolderPrefix) + batchId));

  Manifest manifest;
  manifest.catalogFingerprint = catalogFingerprint(request.provider, request.catalogId);
  manifest.provider = request.provider;
  manifest.transferBatchId = batchId;
  manifest.items.reserve(request.items.size());
  for (std::size_t i = 0; i < request.items.size(); ++i) {
    progress.startItem(i);
    manifest.items.push_back(stageItem(request.items[i], staging.path(), request.provider,
                                       manifest.catalogFingerprint, fs, progress));
  }
  progress.finishing();
  manifest.issuedAt = currentTimeISO8601();

  // A batch reported as saved must survive a power loss: every render reaches the disk before the
  // manifest that vouches for it, the folder's entries before the rename, the rename itself after.
  for (const auto& item : manifest.items) {
    syncFile(appendComponent(staging.path(), item.renderFilename), fs);
  }
  writeAtomically(appendComponent(staging.path(), kManifestFileName), encodeManifest(manifest), fs);
  progress.checkStop();
  fs.renameNoReplace(staging.path(), batchFolder);
  staging.movedTo(batchFolder);
  syncDirectory(destination, fs);
  staging.commit();

  return BatchResult{batchFolder, static_cast<std::int64_t>(manifest.items.size()), std::nullopt};
}

}  // namespace quillmere
