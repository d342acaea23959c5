#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace quillmere {

// One render with the original photo it was made from. Paths are kept exactly as received.
struct Pair {
  std::string sourcePath;
  std::string renderPath;
  std::string externalPhotoId;
  std::string externalVariantId;

  friend bool operator==(const Pair&, const Pair&) = default;
};

// One batch to transfer. What a batch accepts (providers, counts, folders) is decided by
// createBatch, not when a request is built or read.
struct BatchRequest {
  std::string provider;
  std::string catalogId;
  std::string destination;
  std::vector<Pair> items;

  friend bool operator==(const BatchRequest&, const BatchRequest&) = default;
};

// The most pairs one batch carries: what a request may ask for, what a saved batch's manifest may
// list, and what the window's list holds.
inline constexpr std::size_t kMostBatchPairs = 500;

// The answer to one batch: `directory` and `count` on success, `count` 0 and `error` on failure.
struct BatchResult {
  std::optional<std::string> directory;
  std::int64_t count = 0;
  std::optional<std::string> error;

  friend bool operator==(const BatchResult&, const BatchResult&) = default;
};

// The system's refusal: its message is the complete user-facing text, shown verbatim.
class BridgeFailure : public std::exception {
 public:
  explicit BridgeFailure(std::string message) : m_message(std::move(message)) {}
  const std::string& message() const noexcept { return m_message; }
  const char* what() const noexcept override { return m_message.c_str(); }

 private:
  std::string m_message;
};

// A stop that was asked for (the window quitting, a signal): the work ended early on purpose, and
// nothing is at fault. Caught as a BridgeFailure it reads as one; code that treats a stop apart
// catches this type, never compares the message.
class Stopped : public BridgeFailure {
 public:
  using BridgeFailure::BridgeFailure;
};

// What the user reads when memory ran out, whichever allocation failed.
inline constexpr const char* kOutOfMemoryMessage = "内存不足，无法完成保存。";

// The user-facing description of any error the system raises or passes on: the message of a
// BridgeFailure, kOutOfMemoryMessage for a failed allocation (never the library's text), or the
// platform's own description (what()) of anything else. Never empty.
std::string describe(const std::exception& error);
std::string describe(std::exception_ptr error);

}  // namespace quillmere
