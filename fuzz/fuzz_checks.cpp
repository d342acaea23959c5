#include "fuzz/fuzz_checks.h"

#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <typeinfo>

#include "app/request_mode.h"
#include "inspect/image_info.h"
#include "records/json.h"
#include "records/records.h"
#include "transfer/manifest.h"
#include "verify/batch_manifest.h"

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

// --- A plain reading of the headers -------------------------------------------------------------
// What an admitted image's first header says, read by hand, as plainly as each format allows and
// without the image libraries or the system's own readers, so that the two can be compared: a
// description that does not match the bytes is a broken promise even when it is within limits.

struct PlainFacts {
  std::uint64_t width = 0;
  std::uint64_t height = 0;
  std::optional<std::uint64_t> depth;  // nothing: the header does not state it
  bool singleImage = true;
  std::string problem;  // why the facts cannot be an accepted image, if they cannot
};

std::optional<std::uint64_t> unsignedAt(std::span<const std::byte> bytes, std::uint64_t offset,
                                        std::size_t size, bool bigEndian) {
  if (offset > bytes.size() || bytes.size() - offset < size) return std::nullopt;
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < size; ++i) {
    const std::size_t at = static_cast<std::size_t>(offset) + (bigEndian ? i : size - 1 - i);
    value = (value << 8) | std::to_integer<std::uint64_t>(bytes[at]);
  }
  return value;
}

// The first frame header (SOFn) after the start of image. Between segments, stray bytes, fill
// bytes (FF) and stuffed zeros (FF 00) are passed over, as JPEG decoders do; markers without a
// length (RSTn, TEM) have no segment. Baseline frames (SOF0) carry 8-bit samples; extended and
// progressive ones 8 or 12; the rest is not a frame the system accepts.
std::optional<PlainFacts> plainJpeg(std::span<const std::byte> bytes) {
  std::size_t at = 2;
  const auto byteAt = [&](std::size_t i) { return std::to_integer<unsigned>(bytes[i]); };
  for (;;) {
    while (at < bytes.size() && byteAt(at) != 0xFF) ++at;
    while (at < bytes.size() && byteAt(at) == 0xFF) ++at;
    if (at >= bytes.size()) return std::nullopt;
    const unsigned marker = byteAt(at++);
    if (marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;
    if (marker == 0xD8 || marker == 0xD9 || marker == 0xDA) return std::nullopt;
    const auto length = unsignedAt(bytes, at, 2, true);
    if (!length) return std::nullopt;
    const bool frame =
        marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (frame) {
      const auto precision = unsignedAt(bytes, at + 2, 1, true);
      const auto height = unsignedAt(bytes, at + 3, 2, true);
      const auto width = unsignedAt(bytes, at + 5, 2, true);
      if (!precision || !height || !width) return std::nullopt;
      PlainFacts facts{*width, *height, *precision, true, {}};
      const bool fits = marker == 0xC0 ? *precision == 8
                        : (marker == 0xC1 || marker == 0xC2 || marker == 0xC9 || marker == 0xCA)
                            ? *precision == 8 || *precision == 12
                            : false;
      if (!fits)
        facts.problem = "a precision of " + std::to_string(*precision) + " in frame " +
                        std::to_string(marker - 0xC0);
      return facts;
    }
    at += static_cast<std::size_t>(*length);
  }
}

// IHDR, which must be the first chunk; an indexed image's samples are its 8-bit palette entries.
// Several images: more than one animation control chunk (acTL) before the image data, one that
// is not 8 bytes, or one announcing more than one frame.
std::optional<PlainFacts> plainPng(std::span<const std::byte> bytes) {
  const auto chunkType = [&](std::uint64_t offset) {
    if (offset > bytes.size() || bytes.size() - offset < 8) return std::string_view();
    return asText(bytes.subspan(static_cast<std::size_t>(offset) + 4, 4));
  };
  if (chunkType(8) != "IHDR") return std::nullopt;
  const auto width = unsignedAt(bytes, 16, 4, true);
  const auto height = unsignedAt(bytes, 20, 4, true);
  const auto bitDepth = unsignedAt(bytes, 24, 1, true);
  const auto colourType = unsignedAt(bytes, 25, 1, true);
  if (!width || !height || !bitDepth || !colourType) return std::nullopt;
  PlainFacts facts{*width, *height, *colourType == 3 ? 8 : *bitDepth, true, {}};

  int controls = 0;
  for (std::uint64_t offset = 8;;) {
    const std::string_view type = chunkType(offset);
    const auto length = unsignedAt(bytes, offset, 4, true);
    if (type.empty() || !length || type == "IDAT" || type == "IEND") break;
    if (type == "acTL") {
      const auto frames = unsignedAt(bytes, offset + 8, 4, true);
      if (++controls > 1 || *length != 8 || (frames && *frames > 1)) facts.singleImage = false;
    }
    offset += 12 + *length;
  }
  return facts;
}

// The first directory's ImageWidth (256), ImageLength (257) and BitsPerSample (258), the first
// entry of each tag counting, in either byte order, classic or BigTIFF; the image is single when
// the directory's next offset is 0 (or cannot be read: nothing follows).
std::optional<PlainFacts> plainTiff(std::span<const std::byte> bytes) {
  const bool bigEndian = asText(bytes).starts_with("MM");
  const auto read = [&](std::uint64_t offset, std::size_t size) {
    return unsignedAt(bytes, offset, size, bigEndian);
  };
  const auto version = read(2, 2);
  if (!version) return std::nullopt;
  const bool big = *version == 43;
  const std::size_t wide = big ? 8 : 4;  // counts, value fields and offsets
  const std::size_t entrySize = big ? 20 : 12;
  const auto directory = read(big ? 8 : 4, wide);
  if (!directory) return std::nullopt;
  const auto entries = read(*directory, big ? 8 : 2);
  if (!entries) return std::nullopt;

  std::optional<std::uint64_t> values[3];  // width, height, bits per sample
  std::uint64_t entry = *directory + (big ? 8 : 2);
  for (std::uint64_t i = 0; i < *entries; ++i, entry += entrySize) {
    const auto tag = read(entry, 2);
    const auto type = read(entry + 2, 2);
    const auto count = read(entry + 4, wide);
    if (!tag || !type || !count) return std::nullopt;
    if (*tag < 256 || *tag > 258 || values[*tag - 256] || *count == 0) continue;
    std::size_t size = 0;
    switch (*type) {
      case 1:  // BYTE, SBYTE
      case 6:
        size = 1;
        break;
      case 3:  // SHORT, SSHORT
      case 8:
        size = 2;
        break;
      case 4:  // LONG, SLONG, IFD
      case 9:
      case 13:
        size = 4;
        break;
      case 16:  // LONG8, SLONG8, IFD8
      case 17:
      case 18:
        size = 8;
        break;
      default:
        continue;
    }
    // The first value sits in the entry when all of them fit there, else at the offset it holds.
    std::uint64_t at = entry + 4 + wide;
    if (*count > wide / size) {
      const auto offset = read(at, wide);
      if (!offset) continue;
      at = *offset;
    }
    values[*tag - 256] = read(at, size);
  }
  if (!values[0] || !values[1]) return std::nullopt;
  const auto next = read(entry, wide);
  return PlainFacts{*values[0], *values[1], values[2], !next || *next == 0, {}};
}

// Whether an admitted description is what the header bytes say.
std::optional<std::string> mismatchWithHeader(const ImageInfo& info,
                                              std::span<const std::byte> bytes) {
  const std::optional<PlainFacts> facts = info.mediaFormat == "JPEG"  ? plainJpeg(bytes)
                                          : info.mediaFormat == "PNG" ? plainPng(bytes)
                                                                      : plainTiff(bytes);
  if (!facts) return "its header cannot be read plainly";
  if (!facts->problem.empty()) return "its header has " + facts->problem;
  if (!facts->singleImage) return "its header announces several images";
  if (static_cast<std::uint64_t>(info.width) != facts->width ||
      static_cast<std::uint64_t>(info.height) != facts->height) {
    return "its header says " + std::to_string(facts->width) + "x" + std::to_string(facts->height);
  }
  // A TIFF without BitsPerSample may be given a depth by the library (old-style JPEG
  // compression); there is nothing plain to compare it with.
  if (facts->depth && static_cast<std::uint64_t>(info.bitDepth) != *facts->depth) {
    return "its header says " + std::to_string(*facts->depth) + " bits";
  }
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
    if (!error.starts_with("无法读取导出请求：")) {
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
    if (const auto mismatch = mismatchWithHeader(*inMemory.info, bytes)) {
      return "admitted " + describeAnswer(inMemory) + " but " + *mismatch;
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

std::optional<std::string> checkManifestReading(std::span<const std::byte> bytes) {
  ManifestReading reading;
  try {
    reading = readBatchManifest(asText(bytes));
  } catch (const std::exception& failure) {
    return "reading a manifest let an error escape: " + nameOf(failure);
  } catch (...) {
    return "reading a manifest threw something that is not a std::exception";
  }
  if (!reading.manifest) {
    if (reading.refusal.empty()) return "a manifest was refused without saying why";
    return std::nullopt;
  }
  if (!reading.refusal.empty()) return "an accepted manifest came with a refusal";
  const Manifest& manifest = *reading.manifest;
  if (bytes.size() > kLargestBatchManifest) return "a manifest over 9 MiB was accepted";
  if (manifest.items.empty() || manifest.items.size() > kMostBatchPairs) {
    return "a manifest of " + std::to_string(manifest.items.size()) + " items was accepted";
  }
  std::set<std::string> names;
  for (const auto& item : manifest.items) {
    const std::string& name = item.renderFilename;
    if (name.empty() || name == "." || name == ".." || name == kManifestFileName ||
        name.find('/') != std::string::npos || name.find('\0') != std::string::npos) {
      return "an accepted render file name is not one plain component: " + name;
    }
    const std::string extension = item.image.mediaFormat == "JPEG"   ? ".jpg"
                                  : item.image.mediaFormat == "TIFF" ? ".tif"
                                                                     : ".png";
    if (!name.ends_with(extension)) return "an accepted name does not fit its format: " + name;
    if (!names.insert(name).second) return "an accepted manifest names a render twice: " + name;
  }
  const std::string written = encodeManifest(manifest);
  const ManifestReading back = readBatchManifest(written);
  if (!back.manifest) return "an accepted manifest, written again, was refused: " + back.refusal;
  if (encodeManifest(*back.manifest) != written) {
    return "an accepted manifest changed when written and read back";
  }
  return std::nullopt;
}

}  // namespace quillmere::fuzz
