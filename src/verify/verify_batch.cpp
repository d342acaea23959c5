#include "verify/verify_batch.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <exception>
#include <future>
#include <optional>
#include <set>
#include <span>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>

#include "platform/system_error.h"
#include "records/records.h"
#include "transfer/staging_folder.h"
#include "verify/batch_manifest.h"
#include "verify/render_check.h"

namespace quillmere {

namespace {

// The manifest is read in chunks of this size, like every other file.
constexpr std::size_t kReadChunk = 1 << 20;
// How often the calling thread reports while it waits for the other thread's last file.
constexpr std::chrono::milliseconds kWaitingReport{100};

// Counts the bytes and files done on either thread, hears stop requests there, and tells the
// observer from the calling thread only.
class Progress {
 public:
  explicit Progress(const VerifyObserver* observer) : m_observer(observer) {}

  void fileCount(std::size_t count) { m_fileCount = count; }

  // A chunk read on any thread: counted, and where a stop request ends the verification.
  void chunk(std::size_t bytes) {
    m_bytes.fetch_add(bytes, std::memory_order_relaxed);
    checkStop();
  }
  void fileDone() { m_files.fetch_add(1, std::memory_order_relaxed); }

  void checkStop() const {
    if (m_observer && m_observer->stopFlag &&
        m_observer->stopFlag->load(std::memory_order_relaxed)) {
      throw Stopped(kVerifyStoppedMessage);
    }
  }

  // On the calling thread only.
  void report() const {
    if (!m_observer || !m_observer->progress) return;
    m_observer->progress(VerifyProgress{m_bytes.load(std::memory_order_relaxed),
                                        m_files.load(std::memory_order_relaxed), m_fileCount});
  }

 private:
  const VerifyObserver* m_observer;
  std::atomic<std::uint64_t> m_bytes = 0;
  std::atomic<std::size_t> m_files = 0;
  std::size_t m_fileCount = 0;
};

VerifyReport notABatch(std::string file, std::string problem) {
  VerifyReport report;
  report.isBatch = false;
  report.problems.push_back({std::move(file), std::move(problem)});
  return report;
}

// The operating system's reason, in the words the rest of the program uses.
std::string reasonOf(const std::system_error& error) {
  if (error.code().category() == std::generic_category()) return errnoText(error.code().value());
  return error.what();
}

// The manifest's bytes as the device holds them, never more than one byte past the limit.
std::string readFromMedium(OpenFile& file, FileSystem& fs, Progress& progress) {
  fs.dropCachedPages(file);
  fs.adviseSequential(file);
  std::string bytes;
  std::uint64_t offset = 0;
  while (bytes.size() <= kLargestBatchManifest) {
    const std::size_t want = std::min(kReadChunk, kLargestBatchManifest + 1 - bytes.size());
    bytes.resize(bytes.size() + want);
    const std::size_t got = fs.readAt(
        file, offset, std::as_writable_bytes(std::span(bytes.data() + bytes.size() - want, want)));
    bytes.resize(bytes.size() - want + got);
    if (got == 0) break;
    offset += got;
    progress.chunk(got);
  }
  return bytes;
}

// The manifest read and recognised, or why the folder is not a batch.
std::variant<Manifest, VerifyReport> manifestOf(OpenFile& folder, FileSystem& fs,
                                                Progress& progress, std::string& bytes) {
  try {
    OpenFile file = fs.openForReadingAt(folder, kManifestFileName);
    if (file.status.size > static_cast<std::int64_t>(kLargestBatchManifest)) {
      return notABatch(kManifestFileName, std::string(kUnrecognisedManifestStart) +
                                              kManifestTooLargePhrase + kUnrecognisedManifestEnd);
    }
    bytes = readFromMedium(file, fs, progress);
  } catch (const std::system_error& error) {
    if (isProcessFailure(error.code())) throw;
    if (isNotRegularFileError(error.code())) {
      return notABatch(kManifestFileName, kManifestNotAFileProblem);
    }
    if (error.code() == std::errc::no_such_file_or_directory) {
      return notABatch(kManifestFileName, kNoManifestProblem);
    }
    return notABatch(kManifestFileName, kManifestUnreadableStart + reasonOf(error) + "。");
  }
  progress.fileDone();
  ManifestReading reading = readBatchManifest(bytes);
  if (!reading.manifest) {
    return notABatch(kManifestFileName,
                     kUnrecognisedManifestStart + reading.refusal + kUnrecognisedManifestEnd);
  }
  return std::move(*reading.manifest);
}

// Thrown on one thread when the other failed, to end its work: never the verification's answer.
struct Abandoned {};

// Checks every render, two at a time: each thread takes the next render in manifest order and
// reads it whole. A stop, or a failure of either thread, ends both within one chunk; the failure
// passed on is the first one's own (memory running out on the second thread is memory running
// out, never a stop), the calling thread's when both failed of themselves.
std::vector<std::vector<std::string>> checkRenders(OpenFile& folder, const Manifest& manifest,
                                                   FileSystem& fs, Progress& progress) {
  const std::vector<ManifestItem>& items = manifest.items;
  std::vector<std::vector<std::string>> problems(items.size());
  std::atomic<std::size_t> next = 0;
  std::atomic<bool> abandoned = false;
  const auto work = [&](bool reporting) {
    for (std::size_t i; (i = next.fetch_add(1)) < items.size();) {
      problems[i] = renderProblems(folder, manifest, items[i], fs, [&](std::size_t bytes) {
        if (abandoned.load(std::memory_order_relaxed)) throw Abandoned{};
        progress.chunk(bytes);
        if (reporting) progress.report();
      });
      progress.fileDone();
      if (reporting) progress.report();
    }
  };

  std::exception_ptr otherFailure;
  std::promise<void> otherDone;
  std::future<void> otherFinished = otherDone.get_future();
  std::jthread other;  // joined before anything it uses goes, whichever way we leave
  if (items.size() > 1) {
    try {
      other = std::jthread([&] {
        try {
          work(false);
        } catch (const Abandoned&) {
          // The calling thread failed first and passes its own failure on.
        } catch (...) {
          otherFailure = std::current_exception();
          abandoned = true;
        }
        otherDone.set_value();
      });
    } catch (const std::system_error&) {
      // No second thread to be had (process or memory limits): one thread reads them all.
    }
  }
  try {
    work(true);
  } catch (const Abandoned&) {
    // The other thread failed first: its failure is the answer, once it has ended.
    otherFinished.wait();
    other.join();
    std::rethrow_exception(otherFailure);
  } catch (...) {
    abandoned = true;
    throw;
  }
  if (other.joinable()) {
    while (otherFinished.wait_for(kWaitingReport) != std::future_status::ready) progress.report();
    other.join();
    if (otherFailure) std::rethrow_exception(otherFailure);
  }
  return problems;
}

// The name the open folder has now, as the system knows it by its descriptor ("." or a path
// ending in "/" name it no better); the last component of the path it was opened by where the
// system cannot tell.
std::string folderName(OpenFile& folder, const std::string& folderPath, FileSystem& fs) {
  std::string path;
  try {
    path = fs.readLink("/proc/self/fd/" + std::to_string(folder.fd.get()));
  } catch (const std::system_error&) {
    path = folderPath;
  }
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path.substr(path.rfind('/') + 1);
}

}  // namespace

VerifyReport verifyBatch(const std::string& folderPath, FileSystem& fs,
                         const VerifyObserver* observer) {
  Progress progress(observer);
  progress.report();
  OpenFile folder;
  std::vector<std::string> entries;
  try {
    folder = fs.openDirectory(folderPath);
    entries = fs.listEntries(folder);
  } catch (const std::system_error& error) {
    if (isProcessFailure(error.code())) throw;
    return notABatch(folderPath, kFolderUnreadableStart + reasonOf(error) + "。");
  }

  std::string bytes;
  std::variant<Manifest, VerifyReport> read = manifestOf(folder, fs, progress, bytes);
  if (auto* refused = std::get_if<VerifyReport>(&read)) return std::move(*refused);
  const Manifest& manifest = std::get<Manifest>(read);
  progress.fileCount(1 + manifest.items.size());
  progress.report();

  VerifyReport report;
  report.count = manifest.items.size();
  // Quillmere reads the manifest as this program writes it, byte for byte: the same content
  // written another way (re-indented, keys reordered, a line break added by an editor) is a
  // problem of its own, even when every render matches.
  if (encodeManifest(manifest) != bytes) {
    report.problems.push_back({kManifestFileName, kManifestRewrittenProblem});
  }
  // The folder is named after the batch it holds, and Quillmere finds the batch by that name.
  if (folderName(folder, folderPath, fs) !=
      std::string(kBatchFolderPrefix) + manifest.transferBatchId) {
    report.problems.push_back({kManifestFileName, kBatchIdAlteredProblem});
  }
  const auto problems = checkRenders(folder, manifest, fs, progress);
  std::set<std::string_view> listed = {kManifestFileName};
  for (std::size_t i = 0; i < manifest.items.size(); ++i) {
    listed.insert(manifest.items[i].renderFilename);
    for (const auto& problem : problems[i]) {
      report.problems.push_back({manifest.items[i].renderFilename, problem});
    }
  }
  std::ranges::sort(entries);
  for (const auto& entry : entries) {
    if (!listed.contains(entry)) report.problems.push_back({entry, kExtraEntryProblem});
  }
  progress.report();
  return report;
}

}  // namespace quillmere
