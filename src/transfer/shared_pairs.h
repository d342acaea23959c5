#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "transfer/create_batch.h"
#include "transfer/manifest.h"

namespace quillmere {

// The pairs of one batch as its two threads share them. Each thread takes the next pair in
// request order and stages it whole; at most two pairs are in flight. Once a pair fails, no new
// pair is taken and pairs after it are cancelled at their next chunk, while pairs before it run
// to their end: their failure, should they fail too, is the one that counts.
class SharedPairs {
 public:
  explicit SharedPairs(std::size_t count);

  // The next pair to stage, or none when all are taken or one has failed.
  std::optional<std::size_t> take();

  void staged(std::size_t pair, ManifestItem item);
  void failed(std::size_t pair, std::exception_ptr failure, BatchSubject subject,
              std::optional<std::string> storedFile = std::nullopt);

  // Whether a pair's work is no longer wanted, because an earlier pair failed.
  bool cancelled(std::size_t pair) const { return pair > m_cancelAbove.load(); }

  // The first pair, in request order, that is not finished yet (the count when all are).
  std::size_t firstUnfinished();

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
  // Each pair's slots are written by the one thread that staged it.
  std::vector<std::optional<ManifestItem>> m_staged;
  std::vector<std::exception_ptr> m_failures;
  std::vector<BatchSubject> m_subjects;
  std::vector<std::optional<std::string>> m_storedFiles;
  std::vector<bool> m_finished;
};

}  // namespace quillmere
