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
// Whatever the headers declare, inspection holds at most a fixed amount of memory (64 MiB); a
// file that would need more is refused. Every refusal is a BridgeFailure with one of the two
// messages above; never another error, and no image library ever prints anything.
//
// Inspects the file already open in `file`, by reads at offsets through `fs`: the path is never
// opened again and the file position is neither used nor moved, so what is described is exactly
// what a later hash or copy of the same open file reads. The size is the one fstat gives now. A
// read or fstat the file system fails is a refusal, like a truncated file.
ImageInfo imageInfo(OpenFile& file, FileSystem& fs);

// The same description of a file this program wrote itself (a staged copy): refusals are the
// same, but a failure to read it is the platform's error, passed on, since it tells of the disk
// and not of the image.
ImageInfo storedImageInfo(OpenFile& file, FileSystem& fs);

// Opens `path` (without blocking, regular files only) and inspects it as above; a path that
// cannot be opened is a refusal too.
ImageInfo imageInfo(const std::string& path);

// The same inspection of bytes held in memory (the same code path; used by the fuzzer).
ImageInfo imageInfoOfBytes(std::span<const std::byte> bytes);

}  // namespace quillmere
