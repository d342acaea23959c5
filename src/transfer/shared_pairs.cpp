#include "transfer/shared_pairs.h"

#include <algorithm>
#include <utility>

namespace quillmere {

SharedPairs::SharedPairs(std::size_t count)
    : m_staged(count),
      m_failures(count),
      m_subjects(count, BatchSubject::none),
      m_storedFiles(count),
      m_finished(count, false) {}

std::optional<std::size_t> SharedPairs::take() {
  const std::lock_guard lock(m_mutex);
  if (m_firstFailed || m_next >= m_staged.size()) return std::nullopt;
  return m_next++;
}

void SharedPairs::staged(std::size_t pair, ManifestItem item) {
  m_staged[pair] = std::move(item);
  const std::lock_guard lock(m_mutex);
  m_finished[pair] = true;
}

void SharedPairs::failed(std::size_t pair, std::exception_ptr failure, BatchSubject subject,
                         std::optional<std::string> storedFile) {
  m_failures[pair] = std::move(failure);
  m_subjects[pair] = subject;
  m_storedFiles[pair] = std::move(storedFile);
  const std::lock_guard lock(m_mutex);
  m_finished[pair] = true;
  if (!m_firstFailed || pair < *m_firstFailed) m_firstFailed = pair;
  m_cancelAbove = std::min(m_cancelAbove.load(), pair);
}

std::size_t SharedPairs::firstUnfinished() {
  const std::lock_guard lock(m_mutex);
  while (m_firstUnfinished < m_finished.size() && m_finished[m_firstUnfinished]) {
    ++m_firstUnfinished;
  }
  return m_firstUnfinished;
}

}  // namespace quillmere
