#pragma once

#include <QImage>
#include <QSize>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "thumbnail/decode_limits.h"

namespace quillmere::pictures {

// Whether a file starting with `head` is a TIFF (classic or big), by its byte order mark.
bool isTiff(std::string_view head);
// The first image of a TIFF read through libtiff, a band of rows at a time: from an open file with
// positioned reads (nothing opens a path, nothing maps it), or from bytes held in memory.
QImage readTiffDescriptor(int fd, std::uint64_t size, QSize box, const Deadline& deadline);
QImage readTiffBytes(std::span<const std::byte> bytes, QSize box, const Deadline& deadline);

}  // namespace quillmere::pictures
