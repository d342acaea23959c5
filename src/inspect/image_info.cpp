#include "inspect/image_info.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "inspect/byte_source.h"
#include "inspect/image_headers.h"
#include "platform/file_system.h"
#include "records/records.h"

namespace quillmere {
namespace {

constexpr std::uint64_t kLargestSide = 100'000;
constexpr std::uint64_t kLargestPixelCount = 400'000'000;
constexpr std::array<std::uint64_t, 6> kAcceptedBitDepths = {8, 10, 12, 14, 16, 32};

enum class Container { jpeg, png, tiff };

[[noreturn]] void refuse(const char* message) { throw BridgeFailure(message); }

bool startsWith(std::span<const std::byte> bytes, std::string_view magic) {
  return bytes.size() >= magic.size() && std::memcmp(bytes.data(), magic.data(), magic.size()) == 0;
}

// The container is told by the file's first bytes, never by its name.
std::optional<Container> containerOf(inspect::ByteSource& source) {
  std::array<std::byte, 8> head{};
  const std::size_t count = source.readAt(0, head);
  const auto bytes = std::span<const std::byte>(head).first(count);
  using namespace std::string_view_literals;
  if (startsWith(bytes, "\xFF\xD8\xFF"sv)) return Container::jpeg;
  if (startsWith(bytes, "\x89PNG\r\n\x1A\n"sv)) return Container::png;
  // Classic TIFF (42) and BigTIFF (43), in either byte order.
  if (startsWith(bytes, "II*\0"sv) || startsWith(bytes, "MM\0*"sv) ||
      startsWith(bytes, "II+\0"sv) || startsWith(bytes, "MM\0+"sv)) {
    return Container::tiff;
  }
  return std::nullopt;
}

// The checks in their fixed order: what the file is and how many images it holds, then the
// dimensions, and the bit depth last, so a file wrong on several counts gets the general message.
ImageInfo admit(const char* mediaFormat, const inspect::HeaderFacts& facts) {
  if (facts.imageCount != 1) refuse(kNotAnAcceptedImageMessage);
  if (facts.width < 1 || facts.height < 1 || facts.width > kLargestSide ||
      facts.height > kLargestSide || facts.width * facts.height > kLargestPixelCount) {
    refuse(kNotAnAcceptedImageMessage);
  }
  if (std::ranges::find(kAcceptedBitDepths, facts.bitsPerSample) == kAcceptedBitDepths.end()) {
    refuse(kUnsupportedBitDepthMessage);
  }
  return ImageInfo{mediaFormat, static_cast<std::int64_t>(facts.width),
                   static_cast<std::int64_t>(facts.height),
                   static_cast<std::int64_t>(facts.bitsPerSample)};
}

ImageInfo inspectHeaders(inspect::ByteSource& source) {
  const std::optional<Container> container = containerOf(source);
  if (!container) refuse(kNotAnAcceptedImageMessage);
  std::optional<inspect::HeaderFacts> facts;
  const char* mediaFormat = nullptr;
  switch (*container) {
    case Container::jpeg:
      facts = inspect::readJpegHeader(source);
      mediaFormat = "JPEG";
      break;
    case Container::png:
      facts = inspect::readPngHeader(source);
      mediaFormat = "PNG";
      break;
    case Container::tiff:
      facts = inspect::readTiffHeader(source);
      mediaFormat = "TIFF";
      break;
  }
  if (!facts) refuse(kNotAnAcceptedImageMessage);
  return admit(mediaFormat, *facts);
}

// Whatever goes wrong while looking at a render (it cannot be opened, memory runs out) is one
// more reason the file is not an acceptable render; only the system's refusal leaves.
template <typename Inspection>
ImageInfo refusingEverythingElse(Inspection&& inspection) {
  try {
    return inspection();
  } catch (const BridgeFailure&) {
    throw;
  } catch (...) {
    refuse(kNotAnAcceptedImageMessage);
  }
}

}  // namespace

ImageInfo storedImageInfo(OpenFile& file, FileSystem& fs) {
  const FileStatus status = fs.status(file);
  if (!status.isRegular || status.size < 0) refuse(kNotAnAcceptedImageMessage);
  inspect::FileSource source(file, fs, static_cast<std::uint64_t>(status.size));
  try {
    return inspectHeaders(source);
  } catch (const BridgeFailure&) {
    // Refused for bytes that could not be read: the read's failure is the one to tell.
    if (const std::exception_ptr failure = source.readFailure()) std::rethrow_exception(failure);
    throw;
  }
}

ImageInfo imageInfo(OpenFile& file, FileSystem& fs) {
  return refusingEverythingElse([&] { return storedImageInfo(file, fs); });
}

ImageInfo imageInfo(const std::string& path) {
  return refusingEverythingElse([&] {
    // Opened without blocking and only if it is a regular file, so a FIFO or device swapped in at
    // the path cannot hang the caller; the descriptor is closed on every path.
    FileSystem& fs = posixFileSystem();
    OpenFile file = fs.openForReading(path);
    return imageInfo(file, fs);
  });
}

ImageInfo imageInfoOfBytes(std::span<const std::byte> bytes) {
  return refusingEverythingElse([&] {
    inspect::MemorySource source(bytes);
    return inspectHeaders(source);
  });
}

}  // namespace quillmere
