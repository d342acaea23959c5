#pragma once

#include <QImage>
#include <QSize>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "thumbnail/decode_limits.h"

namespace quillmere::pictures {

// Copies `size` bytes from `offset` of the file into `into`; false when the file holds fewer.
using ReadAt = std::function<bool(std::uint64_t offset, void* into, std::size_t size)>;

// The picture of a JPEG made from the thumbnail its EXIF block carries (IFD1), when that one is at
// least as large as the whole image fitted into `box` would be and has the whole image's aspect;
// null otherwise, or when the thumbnail is damaged, so that the whole image is decoded instead.
// The picture is exactly what the whole image would give in size, turned by the orientation of
// IFD0 and converted by the whole image's ICC profile, which are the thumbnail's too.
QImage readExifThumbnail(const ReadAt& readAt, QSize box, const Deadline& deadline);

}  // namespace quillmere::pictures
