#include "inspect/byte_source.h"

#include <algorithm>
#include <cstring>

namespace quillmere::inspect {

std::size_t MemorySource::readAt(std::uint64_t offset, std::span<std::byte> buffer) noexcept {
  if (offset >= m_bytes.size()) return 0;
  const std::size_t count =
      static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), m_bytes.size() - offset));
  std::memcpy(buffer.data(), m_bytes.data() + offset, count);
  return count;
}

FileSource::FileSource(OpenFile& file, FileSystem& fs, std::uint64_t size)
    : m_file(file),
      m_fs(fs),
      m_size(size),
      m_window(std::make_unique_for_overwrite<std::byte[]>(kWindowSize)) {}

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
    std::size_t got = 0;
    try {
      got = m_fs.readAt(m_file, offset + done, std::span(buffer.data() + done, want));
    } catch (...) {
      // The readers only need to know that the bytes end here; why they do (an I/O error, a
      // file cut short meanwhile) changes nothing about the refusal that follows.
      if (!m_readFailure) m_readFailure = std::current_exception();
      break;
    }
    if (got == 0) break;
    done += got;
  }
  return done;
}

}  // namespace quillmere::inspect
