#pragma once

#include <QtGlobal>
#include <chrono>

namespace quillmere::pictures {

// The most one full-size decode may hold (formats without reduced decoding, such as PNG and TIFF);
// with one decode per core, the pictures' memory stays bounded whatever the files claim.
constexpr qint64 kMaxFullDecodeBytes = qint64{48} << 20;

// When the picture of one file must be given up; every reader checks it between its steps.
class Deadline {
 public:
  using Clock = std::chrono::steady_clock;
  explicit Deadline(std::chrono::milliseconds limit) : m_end(Clock::now() + limit) {}
  bool passed() const { return Clock::now() >= m_end; }

 private:
  Clock::time_point m_end;
};

}  // namespace quillmere::pictures
