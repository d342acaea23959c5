#pragma once

#include <utility>

namespace quillmere {

// Owns one file descriptor and closes it when it goes out of scope, on every path.
class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : m_fd(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
  }
  ~UniqueFd() { reset(); }

  int get() const noexcept { return m_fd; }
  explicit operator bool() const noexcept { return m_fd >= 0; }
  int release() noexcept { return std::exchange(m_fd, -1); }
  // Closing a descriptor we only read from cannot lose data, so its error is not interesting;
  // descriptors that were written are fsynced before they are dropped.
  void reset() noexcept;

 private:
  int m_fd = -1;
};

}  // namespace quillmere
