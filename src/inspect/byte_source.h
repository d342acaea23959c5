#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <span>

#include "platform/file_system.h"

namespace quillmere::inspect {

// Random access to the bytes of one render, whether they are held in memory or read from an
// open file, so that every header reader runs the same code on both. Reads never throw and
// never fail loudly: a read past the end, or one the operating system refuses, simply returns
// fewer bytes, which the readers treat as a truncated file.
class ByteSource {
 public:
  virtual ~ByteSource() = default;

  // The size in bytes, fixed when the source was made.
  virtual std::uint64_t size() const noexcept = 0;

  // Copies up to buffer.size() bytes starting at `offset` and returns how many were copied.
  virtual std::size_t readAt(std::uint64_t offset, std::span<std::byte> buffer) noexcept = 0;
};

class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::span<const std::byte> bytes) noexcept : m_bytes(bytes) {}

  std::uint64_t size() const noexcept override { return m_bytes.size(); }
  std::size_t readAt(std::uint64_t offset, std::span<std::byte> buffer) noexcept override;

 private:
  std::span<const std::byte> m_bytes;
};

// Reads an open file at offsets through the file-system seam (pread: the file position is never
// used or moved, so the same open file can be hashed and copied afterwards), through one small
// read-ahead window: headers are many small reads close together, and the window turns them into
// one or two system calls. A read the seam fails ends the bytes there, like a truncated file. The
// file and the file system stay owned by the caller and must outlive the source.
class FileSource final : public ByteSource {
 public:
  FileSource(OpenFile& file, FileSystem& fs, std::uint64_t size);

  std::uint64_t size() const noexcept override { return m_size; }
  std::size_t readAt(std::uint64_t offset, std::span<std::byte> buffer) noexcept override;

  // The first failure of a read, which readAt reports only as the bytes ending there; empty when
  // every read succeeded.
  std::exception_ptr readFailure() const noexcept { return m_readFailure; }

 private:
  static constexpr std::size_t kWindowSize = 64 * 1024;

  std::size_t readFromFile(std::uint64_t offset, std::span<std::byte> buffer) const noexcept;

  OpenFile& m_file;
  FileSystem& m_fs;
  std::uint64_t m_size;
  std::unique_ptr<std::byte[]> m_window;
  std::uint64_t m_windowOffset = 0;
  std::size_t m_windowLength = 0;
  mutable std::exception_ptr m_readFailure;
};

}  // namespace quillmere::inspect
