#pragma once

#include <cstddef>
#include <span>
#include <utility>

namespace quillmere {

// A read-only mapping of part of a file, unmapped when it goes out of scope. An empty one maps
// nothing.
class MappedBytes {
 public:
  MappedBytes() noexcept = default;
  MappedBytes(const void* address, std::size_t size) noexcept
      : m_address(address), m_size(size) {}
  MappedBytes(const MappedBytes&) = delete;
  MappedBytes& operator=(const MappedBytes&) = delete;
  MappedBytes(MappedBytes&& other) noexcept
      : m_address(std::exchange(other.m_address, nullptr)), m_size(std::exchange(other.m_size, 0)) {}
  MappedBytes& operator=(MappedBytes&& other) noexcept {
    if (this != &other) {
      reset();
      m_address = std::exchange(other.m_address, nullptr);
      m_size = std::exchange(other.m_size, 0);
    }
    return *this;
  }
  ~MappedBytes() { reset(); }

  std::span<const std::byte> bytes() const noexcept {
    return {static_cast<const std::byte*>(m_address), m_size};
  }
  explicit operator bool() const noexcept { return m_address != nullptr; }
  void reset() noexcept;

 private:
  const void* m_address = nullptr;
  std::size_t m_size = 0;
};

// Runs `use(context, bytes)` over mapped file bytes, and returns false instead of letting the
// process die when touching them raises SIGBUS: another program cut the file short underneath,
// or the disk failed to deliver a page. `use` is then abandoned midway without unwinding, so it
// must be plain computation that owns nothing (hashing a buffer, say); the caller undoes what it
// half did and reads the rest with read(2), which reports either cause as such. Bus errors
// anywhere else keep their usual effect. Safe to call from several threads at once.
bool touchMapped(std::span<const std::byte> bytes,
                 void (*use)(void* context, std::span<const std::byte> bytes), void* context);

}  // namespace quillmere
