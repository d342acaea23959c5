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

// Where a picture may be taken from. The whole image is what the comparison view, with its large
// boxes, wants. Where the file already holds a smaller picture of the same image at least the size
// the whole image would be fitted to (a JPEG's EXIF thumbnail, a TIFF's reduced-resolution image),
// the table's small boxes are served from that one, which costs a fraction of the decoding; the
// picture comes out the same size, upright and in sRGB alike. Raw files give their embedded
// preview either way.
enum class PictureSource { wholeImage, embeddedWhereLargeEnough };

// A small picture of an image file, fitted into `box` with its aspect kept and never enlarged,
// upright by the orientation the file records and in sRGB, for the window's table. Raw camera files
// give their embedded preview through LibRaw, never a development of the raw data, turned as the
// shot was taken; TIFF is read a band of rows at a time and reduced as it is read, whatever its
// size; other images are read by Qt's readers, reduced while decoding where the format allows
// (JPEG), and refused when a full-size decode would hold too much memory. Colours are converted
// from the file's ICC profile (Qt's colour spaces, LittleCMS for TIFF profiles Qt cannot apply);
// a file without one is taken as sRGB.
//
// The window never calls these in its own process: PictureWorkers runs them in sandboxed workers,
// where a decoder that crashes or hangs on a damaged file costs that file its picture only.
// A null image when the file gives no picture: unreadable, not an image, damaged, too large, or
// slower than `timeLimit`. Never throws and prints nothing of its own (Qt's readers report through
// its message handler, which the window drops). Safe to call from several threads at once.
QImage makeThumbnail(const std::string& path, QSize box,
                     std::chrono::milliseconds timeLimit = kThumbnailTimeLimit,
                     PictureSource source = PictureSource::wholeImage);
// The same for an open file, read through the descriptor only (positioned reads, a read-only
// mapping for LibRaw): what a sandboxed worker, which cannot open paths, is given.
QImage makeThumbnailOfFile(int fd, QSize box,
                           std::chrono::milliseconds timeLimit = kThumbnailTimeLimit,
                           PictureSource source = PictureSource::wholeImage);
// The same for a file's bytes held in memory.
QImage makeThumbnail(std::span<const std::byte> bytes, QSize box,
                     std::chrono::milliseconds timeLimit = kThumbnailTimeLimit,
                     PictureSource source = PictureSource::wholeImage);

// Loads every image plugin and library the functions above may need, so that they then run in a
// process that can no longer open files.
void loadThumbnailDecoders();

}  // namespace quillmere
