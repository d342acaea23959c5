#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/file_system.h"

namespace quillmere {

inline constexpr const char* kNotAnAcceptedImageMessage =
    "请选择已导出的单页 JPEG、TIFF 或 PNG 照片。";
inline constexpr const char* kUnsupportedBitDepthMessage =
    "这张照片的位深暂不支持，请重新导出为 8 位或 16 位照片。";

// The image description of a render; the first four entries of its manifest item.
struct ImageInfo {
  std::string mediaFormat;  // "JPEG", "PNG" or "TIFF"
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::int64_t bitDepth = 0;

  friend bool operator==(const ImageInfo&, const ImageInfo&) = default;
};

// Admits a render by its content, reading headers only: exactly one JPEG, PNG or TIFF image,
// 1..100,000 pixels each way, at most 400,000,000 pixels, 8/10/12/14/16/32 bits per sample.
// Every refusal is a BridgeFailure with one of the two messages above; never another error, and
// no image library ever prints anything.
ImageInfo imageInfo(const std::string& path);

// The same inspection of a render that is already open, by positional reads through `fs`.
ImageInfo imageInfo(OpenFile& file, FileSystem& fs);

// The same inspection of bytes held in memory (the same code path; used by the fuzzer).
ImageInfo imageInfoOfBytes(std::span<const std::byte> bytes);

}  // namespace quillmere
