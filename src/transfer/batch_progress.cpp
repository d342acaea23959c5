#include "transfer/batch_progress.h"

#include <algorithm>
#include <exception>

#include "platform/paths.h"

namespace quillmere {

namespace {

std::uint64_t sizeOf(FileSystem& fs, const std::string& path) {
  try {
    const auto status = fs.status(fileLocation(path));
    return status.size > 0 ? static_cast<std::uint64_t>(status.size) : 0;
  } catch (const std::exception&) {
    return 0;
  }
}

}  // namespace

BatchProgressTracker::BatchProgressTracker(const BatchObserver* observer,
                                           const BatchRequest& request, FileSystem& fs)
    : m_observer(observer) {
  m_state.itemCount = request.items.size();
  if (!m_observer || !m_observer->progress) return;
  // Each original is read twice, each render three times (hash, copy, the copy from the medium).
  // The sizes are only an estimate for the progress bar; the real checks come later, in order.
  for (const auto& pair : request.items) {
    m_state.bytesTotal += 2 * sizeOf(fs, pair.sourcePath) + 3 * sizeOf(fs, pair.renderPath);
  }
  report();
}

void BatchProgressTracker::reached(std::size_t item) {
  item = std::min(item, m_state.itemCount - 1);
  if (m_started && item <= m_state.item) return;
  m_state.phase = BatchPhase::staging;
  for (std::size_t next = m_started ? m_state.item + 1 : 0; next <= item; ++next) {
    m_state.item = next;
    report();
  }
  m_started = true;
}

void BatchProgressTracker::finishing() {
  m_state.phase = BatchPhase::finishing;
  m_state.bytesDone = m_state.bytesTotal;
  report();
  checkStop();
}

void BatchProgressTracker::chunk(std::size_t bytes) {
  m_done += bytes;
  report();
  checkStop();
}

void BatchProgressTracker::chunkElsewhere(std::size_t bytes) {
  m_done += bytes;
  checkStop();
}

bool stopAsked(const BatchObserver* observer) {
  return observer && (observer->stop.stop_requested() ||
                      (observer->stopFlag && observer->stopFlag->load(std::memory_order_relaxed)));
}

void BatchProgressTracker::checkStop() const {
  if (stopAsked(m_observer)) throw Stopped(kBatchStoppedMessage);
}

void BatchProgressTracker::report() {
  if (!m_observer || !m_observer->progress) return;
  m_state.bytesDone = std::min(m_state.bytesTotal, m_done.load());
  m_observer->progress(m_state);
}

}  // namespace quillmere
