#include "platform/unique_fd.h"

#include <unistd.h>

namespace quillmere {

void UniqueFd::reset() noexcept {
  if (m_fd >= 0) {
    // Linux releases the descriptor even when close reports EINTR, so it is never retried.
    ::close(m_fd);
    m_fd = -1;
  }
}

}  // namespace quillmere
