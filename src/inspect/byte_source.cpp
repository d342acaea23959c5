#include "inspect/byte_source.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quillmere::inspect {

std::size_t MemorySource::readAt(std::uint64_t offset, std::span<std::byte> buffer) noexcept {
  if (offset >= m_bytes.size()) return 0;
  const std::size_t count =
      static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), m_bytes.size() - offset));
  std::memcpy(buffer.data(), m_bytes.data() + offset, count);
  return count;
}

FileSource::FileSource(int fd, std::uint64_t size)
    : m_fd(fd), m_size(size), m_window(std::make_unique_for_overwrite<std::byte[]>(kWindowSize)) {}

std::size_t FileSource::readAt(std::uint64_t offset, std::span<std::byte> buffer) noexcept {
  // Reads stop at the size the file had when it was opened, so a file that grows meanwhile
  // cannot make a reader see more than it was told exists.
  if (offset >= m_size) return 0;
  const std::size_t wanted =
      static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), m_size - offset));
  buffer = buffer.first(wanted);

  const bool inWindow = offset >= m_windowOffset && offset - m_windowOffset < m_windowLength &&
                        wanted <= m_windowLength - (offset - m_windowOffset);
  if (!inWindow) {
    if (wanted >= kWindowSize) return readFromFile(offset, buffer);
    m_windowOffset = offset;
    m_windowLength = readFromFile(offset, std::span(m_window.get(), kWindowSize));
    if (m_windowLength < wanted) {
      // The file ended (or shrank) early: hand over what there is.
      std::memcpy(buffer.data(), m_window.get(), m_windowLength);
      return m_windowLength;
    }
  }
  std::memcpy(buffer.data(), m_window.get() + (offset - m_windowOffset), wanted);
  return wanted;
}

std::size_t FileSource::readFromFile(std::uint64_t offset,
                                     std::span<std::byte> buffer) const noexcept {
  std::size_t done = 0;
  while (done < buffer.size() && offset + done < m_size) {
    const std::size_t want = static_cast<std::size_t>(
        std::min<std::uint64_t>(buffer.size() - done, m_size - offset - done));
    const ssize_t got =
        ::pread(m_fd, buffer.data() + done, want, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

}  // namespace quillmere::inspect
