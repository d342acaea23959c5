#pragma once

#include <QImage>
#include <QSize>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "thumbnail/decode_limits.h"
#include "thumbnail/thumbnail.h"

namespace quillmere::pictures {

// Whether a file starting with `head` is a TIFF (classic or big), by its byte order mark.
bool isTiff(std::string_view head);
// The first image of a TIFF read through libtiff, a band of rows at a time: from an open file with
// positioned reads (nothing opens a path, nothing maps it), or from bytes held in memory. Where
// `source` allows, the smallest reduced-resolution image (a SubIFD, or a later image marked so)
// that gives the same picture stands in for the first image.
QImage readTiffDescriptor(int fd, std::uint64_t size, QSize box, const Deadline& deadline,
                          PictureSource source);
QImage readTiffBytes(std::span<const std::byte> bytes, QSize box, const Deadline& deadline,
                     PictureSource source);

}  // namespace quillmere::pictures
