#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/file_system.h"
#include "records/records.h"
#include "transfer/create_batch.h"

namespace quillmere {

// Whether the observer has asked the batch to stop.
bool stopAsked(const BatchObserver* observer);

// Hears each chunk a batch reads, hashes or copies: the place where progress is counted and a
// stop is heard. It may throw to end the read.
using ChunkHook = std::function<void(std::size_t)>;

// Tells the observer how far the batch is and honours its request to stop. Chunks may be counted
// from any thread; the observer itself only ever hears from the thread running the batch.
class BatchProgressTracker {
 public:
  BatchProgressTracker(const BatchObserver* observer, const BatchRequest& request, FileSystem& fs);

  // Pairs before `item` are done: the observer hears of every pair up to it, one after another,
  // as it would if the pairs were staged one at a time.
  void reached(std::size_t item);

  // The pairs are done: the manifest and the commit are all that is left.
  void finishing();

  // A chunk read, hashed or copied on the batch's own thread: counted, reported, and the place
  // where a stop request ends the batch.
  void chunk(std::size_t bytes);

  // The same from a helper thread: counted and checked, reported later by the batch's thread.
  void chunkElsewhere(std::size_t bytes);

  // Throws Stopped(kBatchStoppedMessage) once a stop has been asked for.
  void checkStop() const;

 private:
  void report();

  const BatchObserver* m_observer;
  BatchProgress m_state;
  bool m_started = false;  // whether the observer has heard of a pair yet
  std::atomic<std::uint64_t> m_done = 0;
};

}  // namespace quillmere
