#include "transfer/stage_pairs.h"

#include <future>
#include <optional>
#include <utility>

#include "transfer/batch_context.h"
#include "transfer/medium_check.h"
#include "transfer/pair_reads.h"
#include "transfer/second_thread.h"
#include "transfer/shared_pairs.h"
#include "transfer/staged_copy.h"

namespace quillmere {

std::vector<ManifestItem> stagePairs(const BatchRequest& request, const std::string& fingerprint,
                                     StagingFolder& staging, FileSystem& fs,
                                     BatchProgressTracker& progress, BatchFailureSite& site) {
  const auto& items = request.items;
  SharedPairs pairs(items.size());
  SecondThread helper;
  // A lone pair may split its two reads over both threads; with more, each thread has a pair.
  const BatchContext batch{request, fingerprint, staging, fs,
                           items.size() == 1 ? &helper : nullptr};
  const ChunkHook elsewhere = [&](std::size_t bytes) { progress.chunkElsewhere(bytes); };
  const auto stageOnThread = [&](bool onThisThread) {
    const auto chunkHookFor = [&](std::size_t index) -> ChunkHook {
      return [&, index, onThisThread](std::size_t bytes) {
        if (pairs.cancelled(index)) throw Stopped(kBatchStoppedMessage);
        if (!onThisThread) return progress.chunkElsewhere(bytes);
        progress.reached(pairs.firstUnfinished());
        progress.chunk(bytes);
      };
    };
    // Reading copies back comes after their pairs are done: counted and checked, but no pair is
    // reached by it, so that the observer never hears of a pair beyond one that failed.
    const auto settleHookFor = [&](std::size_t index) -> ChunkHook {
      return [&, index, onThisThread](std::size_t bytes) {
        if (pairs.cancelled(index)) throw Stopped(kBatchStoppedMessage);
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
      PairInFlight inFlight{*pair, chunkHookFor(*pair), elsewhere, BatchSubject::none, std::nullopt};
      std::optional<StagedCopy> copy;
      try {
        if (onThisThread) progress.reached(pairs.firstUnfinished());
        progress.checkStop();
        PairReads reads = readPair(batch, inFlight);
        StagedItem staged = finishPair(batch, inFlight, reads);
        copy = std::move(staged.copy);
        pairs.staged(*pair, std::move(staged.item));
      } catch (...) {
        pairs.failed(*pair, std::current_exception(), inFlight.subject,
                     std::move(inFlight.storedFile));
      }
      if (copy) medium.staged(std::move(*copy));
    }
    medium.finish();
  };
  {
    std::future<void> other;
    if (items.size() > 1 && helper.available()) {
      other = helper.submit([&] { stageOnThread(false); });
    }
    try {
      stageOnThread(true);
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
  std::vector<ManifestItem> staged;
  staged.reserve(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) staged.push_back(std::move(pairs.item(i)));
  return staged;
}

}  // namespace quillmere
