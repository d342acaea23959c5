#pragma once

#include <QImage>
#include <QSize>
#include <chrono>
#include <cstddef>
#include <span>
#include <string>

namespace quillmere {

// How long making one picture may take; a file slower than that shows none.
inline constexpr std::chrono::milliseconds kThumbnailTimeLimit{2000};

// A small picture of an image file, fitted into `box` with its aspect kept and never enlarged,
// for the window's table. Raw camera files give their embedded preview through LibRaw, never a
// development of the raw data; other images are read by Qt's readers, reduced while decoding
// where the format allows (JPEG), and refused when a full-size decode would hold too much memory.
// A null image when the file gives no picture: unreadable, not an image, damaged, too large, or
// slower than `timeLimit`. Never throws and prints nothing of its own (Qt's readers report through
// its message handler, which the window drops). Safe to call from several threads at once.
QImage makeThumbnail(const std::string& path, QSize box,
                     std::chrono::milliseconds timeLimit = kThumbnailTimeLimit);
// The same for a file's bytes held in memory.
QImage makeThumbnail(std::span<const std::byte> bytes, QSize box,
                     std::chrono::milliseconds timeLimit = kThumbnailTimeLimit);

}  // namespace quillmere
