#pragma once

#include <QImage>
#include <QSize>
#include <cstddef>
#include <cstdint>

#include "thumbnail/decode_limits.h"

namespace quillmere::pictures {

// The preview a raw file held in memory carries, through LibRaw: found by open_buffer (which only
// parses the file's structure), read by unpack_thumb, never a development of the raw data. Null
// when the file is no raw LibRaw knows or its preview cannot be read safely.
QImage readRawPreview(const void* data, std::size_t size, QSize box, const Deadline& deadline);
// The same for an open file, mapped read-only (LibRaw reads a source as a buffer without opening
// a path); null also when the file is too large to map.
QImage readRawPreviewOfFile(int fd, std::uint64_t size, QSize box, const Deadline& deadline);

}  // namespace quillmere::pictures
