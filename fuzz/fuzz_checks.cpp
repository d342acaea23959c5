#include "fuzz/fuzz_checks.h"

#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <typeinfo>

#include "app/request_mode.h"
#include "inspect/image_info.h"
#include "records/json.h"
#include "records/records.h"

namespace quillmere::fuzz {
namespace {

std::string_view asText(std::span<const std::byte> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::string nameOf(const std::exception& error) {
  return std::string(typeid(error).name()) + " \"" + error.what() + "\"";
}

// What one inspection answered: a description, a refusal, or something that should never leave.
struct Answer {
  std::optional<ImageInfo> info;
  std::string refusal;
  std::string escaped;

  friend bool operator==(const Answer&, const Answer&) = default;
};

template <typename Inspection>
Answer answerOf(Inspection&& inspection) {
  try {
    return Answer{inspection(), {}, {}};
  } catch (const BridgeFailure& failure) {
    return Answer{std::nullopt, failure.message(), {}};
  } catch (const std::exception& error) {
    return Answer{std::nullopt, {}, nameOf(error)};
  } catch (...) {
    return Answer{std::nullopt, {}, "something that is not a std::exception"};
  }
}

std::string describeAnswer(const Answer& answer) {
  if (answer.info) {
    return answer.info->mediaFormat + " " + std::to_string(answer.info->width) + "x" +
           std::to_string(answer.info->height) + " at " + std::to_string(answer.info->bitDepth) +
           " bits";
  }
  if (!answer.escaped.empty()) return "escaped " + answer.escaped;
  return "refused \"" + answer.refusal + "\"";
}

// The container the first bytes announce, the only thing that may decide the media format.
std::string_view announcedFormat(std::span<const std::byte> bytes) {
  const std::string_view text = asText(bytes);
  using namespace std::string_view_literals;
  if (text.starts_with("\xFF\xD8\xFF"sv)) return "JPEG";
  if (text.starts_with("\x89PNG\r\n\x1A\n"sv)) return "PNG";
  for (const std::string_view magic : {"II*\0"sv, "MM\0*"sv, "II+\0"sv, "MM\0+"sv}) {
    if (text.starts_with(magic)) return "TIFF";
  }
  return "";
}

std::optional<std::string> brokenLimit(const ImageInfo& info) {
  constexpr std::array<std::int64_t, 6> kDepths = {8, 10, 12, 14, 16, 32};
  if (info.width < 1 || info.width > 100'000 || info.height < 1 || info.height > 100'000) {
    return "a side outside 1..100000";
  }
  if (info.width * info.height > 400'000'000) return "more than 400,000,000 pixels";
  bool depthAccepted = false;
  for (const std::int64_t depth : kDepths) depthAccepted = depthAccepted || info.bitDepth == depth;
  if (!depthAccepted) return "a bit depth that is not accepted";
  return std::nullopt;
}

// A file holding `bytes`, in memory, reachable by path like any render. Closed on destruction.
class MemoryFile {
 public:
  explicit MemoryFile(std::span<const std::byte> bytes)
      : m_fd(::memfd_create("render", MFD_CLOEXEC)) {
    std::size_t done = 0;
    while (m_fd >= 0 && done < bytes.size()) {
      const ssize_t put = ::write(m_fd, bytes.data() + done, bytes.size() - done);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) {
        ::close(m_fd);
        m_fd = -1;
      } else {
        done += static_cast<std::size_t>(put);
      }
    }
  }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  ~MemoryFile() {
    if (m_fd >= 0) ::close(m_fd);
  }

  bool ok() const { return m_fd >= 0; }
  std::string path() const { return "/proc/self/fd/" + std::to_string(m_fd); }

 private:
  int m_fd;
};

}  // namespace

std::optional<std::string> checkRequestDecoding(std::span<const std::byte> bytes) {
  // Request mode refuses such files before it parses anything.
  if (bytes.size() >= kLargestRequestFile) return std::nullopt;

  std::optional<BatchRequest> request;
  std::string error;
  try {
    request = batchRequestFromJson(asText(bytes));
  } catch (const DecodingError& failure) {
    error = describe(failure);
    if (!error.starts_with("cannot read the batch request: ")) {
      return "a decoding error that does not name the record: " + error;
    }
  } catch (const std::exception& failure) {
    return "decoding let another error escape: " + nameOf(failure);
  } catch (...) {
    return "decoding threw something that is not a std::exception";
  }

  if (request) {
    try {
      if (!(batchRequestFromJson(toJson(*request)) == *request)) {
        return "a decoded request changed when written and read back";
      }
    } catch (const std::exception& failure) {
      return "a decoded request could not be read back after writing it: " + nameOf(failure);
    }
    return std::nullopt;
  }

  // The failure result request mode writes for this input must itself be a readable result.
  try {
    const BatchResult back = batchResultFromJson(toJson(BatchResult{std::nullopt, 0, error}));
    if (back.directory || back.count != 0 || !back.error || back.error->empty()) {
      return "the failure result did not read back as a failure";
    }
  } catch (const std::exception& failure) {
    return "the failure result could not be written and read back: " + nameOf(failure);
  }
  return std::nullopt;
}

std::optional<std::string> checkImageInspection(std::span<const std::byte> bytes) {
  const Answer inMemory = answerOf([&] { return imageInfoOfBytes(bytes); });
  if (!inMemory.escaped.empty()) return "imageInfoOfBytes let an error escape: " + inMemory.escaped;
  if (inMemory.info) {
    if (inMemory.info->mediaFormat != announcedFormat(bytes)) {
      return "admitted as " + inMemory.info->mediaFormat + " bytes that do not start like one";
    }
    if (const auto broken = brokenLimit(*inMemory.info)) {
      return "admitted " + describeAnswer(inMemory) + ": " + *broken;
    }
  } else if (inMemory.refusal != kNotAnAcceptedImageMessage &&
             inMemory.refusal != kUnsupportedBitDepthMessage) {
    return "refused with a message of its own: " + inMemory.refusal;
  }

  const MemoryFile file(bytes);
  if (!file.ok()) return std::string("cannot make an in-memory file: ") + std::strerror(errno);
  const Answer fromFile = answerOf([&] { return imageInfo(file.path()); });
  if (!(fromFile == inMemory)) {
    return "the file and the bytes disagree: file " + describeAnswer(fromFile) + ", bytes " +
           describeAnswer(inMemory);
  }
  return std::nullopt;
}

}  // namespace quillmere::fuzz
