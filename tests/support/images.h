#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace quillmere::testing {

// Small, valid images encoded by the real libraries, for tests that need renders. Pixel content
// varies with `seed`, so two images of the same size can differ.
std::string pngImage(int width, int height, int seed = 0);
std::string jpegImage(int width, int height, int seed = 0);
std::string tiffImage(int width, int height, int seed = 0);

// A little-endian TIFF laid out like a DNG, as cameras and converters write them: the first
// directory is a preview of `previewWidth` x `previewHeight` (the bytes of a JPEG, or 8-bit RGB
// rows), a sub-directory holds a 16-bit Bayer mosaic as the raw data (small unless asked for).
// A non-zero `orientation` (TIFF's 1 to 8) is recorded for the shot, as a camera turned records it.
std::string dngLikeImage(const std::string& preview, int previewWidth, int previewHeight,
                         bool previewIsJpeg = true, int rawWidth = 256, int rawHeight = 192,
                         int orientation = 0);

// Writes to `path` an RGB TIFF of `width` x `height` pixels at 8 or 16 bits a sample, plain or
// LZW, red on its left half and blue on its right, row by row straight through libtiff: a file of
// any size costs one row of memory to make. Whether every row was written.
bool writeTwoColourTiff(const std::string& path, std::uint32_t width, std::uint32_t height,
                        int bitsPerSample, bool lzw);

}  // namespace quillmere::testing

// The same at every level of detail, made on the fly (image_bytes.cpp): encoded by the real libraries where the
// pixels are small, crafted byte by byte where only a header is needed (a 100,000-pixel-wide claim
// costs a few dozen bytes and no pixel buffer anywhere).
namespace quillmere::testing::fixtures {

// Encoded by libjpeg-turbo.
enum class JpegColour { gray, rgb, cmyk };
// `seed` varies the pixels (not the headers), so two images of one size can differ.
std::string encodedJpeg(int width, int height, JpegColour colour, bool progressive = false,
                        int seed = 0);

// `jpeg` with `count` application segments of the largest size (64 KiB each) inserted right after
// its start marker, where cameras and editors put EXIF data and ICC profiles.
std::string withLargeAppSegments(const std::string& jpeg, int count);

// Encoded by libpng. `colourType` is a PNG_COLOR_TYPE_* value; indexed images get a small
// palette.
std::string encodedPng(int width, int height, int bitDepth, int colourType, bool interlaced = false,
                       int seed = 0);

// A real animated PNG of `frames` frames (the still image is the first), built from a libpng
// encoding with the animation chunks spliced in.
std::string animatedPng(int width, int height, int bitDepth, int colourType, int frames);

// Encoded by libtiff. `sampleFormat` is a SAMPLEFORMAT_* value; 1 sample per pixel is written as
// gray (or bilevel at 1 bit), 3 as RGB.
struct TiffSpec {
  int width = 8;
  int height = 6;
  int bitsPerSample = 8;
  int samplesPerPixel = 3;
  int sampleFormat = 1;  // SAMPLEFORMAT_UINT
  int pages = 1;
  bool bigTiff = false;
  bool bigEndian = false;
  bool tiled = false;
  int seed = 0;
};
std::string encodedTiff(const TiffSpec& spec);

// Crafted headers with a token of data behind them.
std::string craftedPng(std::uint32_t width, std::uint32_t height, int bitDepth = 8,
                       int colourType = 2 /* RGB */);
std::string pngChunk(const std::string& type, const std::string& data);
// `png` with `chunk` inserted right after its header chunk.
std::string withChunkAfterHeader(const std::string& png, const std::string& chunk);
// Writes a 1x1 PNG to `path` with `count` chunks of `type` between its header and its image
// data, each holding `length` zero bytes (with a correct checksum). The chunks' data are holes of
// a sparse file, so hundreds of megabytes cost neither disk nor memory to make.
void writePngWithRepeatedChunk(const std::string& path, const std::string& type,
                               std::uint32_t length, int count);

struct CraftedTiff {
  std::uint32_t width = 16;
  std::uint32_t height = 16;
  std::optional<std::uint16_t> bitsPerSample = 8;  // nothing: the tag is left out
  int pages = 1;
  bool bigEndian = false;
  // Where the last directory's "next directory" field points; 0 ends the chain properly.
  std::uint32_t lastNextOffset = 0;
  std::uint32_t firstDirectoryOffset = 8;  // overridable to point into nowhere
  bool bigTiff = false;
  // Private tags (65000 up) in every directory, each an UNDEFINED value of `privateTagBytes`
  // bytes, all stored at the same offset: craftedTiffDataOffset. The file ends 16 bytes past that
  // offset; a caller that wants the values to be there extends it (holes read as zeros).
  int privateTags = 0;
  std::uint64_t privateTagBytes = 0;  // at most 4 GiB - 1 in a classic TIFF
};
std::string craftedTiff(const CraftedTiff& spec);
// Offset of the first byte after the first directory's entries (where its next-offset field is).
std::size_t craftedTiffFirstDirectoryEnd(const CraftedTiff& spec);
// Offset of directory `page` in a crafted TIFF.
std::uint32_t craftedTiffDirectoryOffset(const CraftedTiff& spec, int page);
// Offset of the bytes after the directories, where the strip and any private tag values are.
std::uint32_t craftedTiffDataOffset(const CraftedTiff& spec);

// SOI, a frame header (`sofMarker` 0xC0 baseline, 0xC1 extended, 0xC2 progressive, 0xC3
// lossless), a scan header and a few bytes of entropy-coded data. No tables: reading the header
// does not need them.
std::string craftedJpeg(std::uint16_t width, std::uint16_t height, int precision = 8,
                        int sofMarker = 0xC0, int components = 3);
// Offset just past the scan header of craftedJpeg's output.
std::size_t craftedJpegHeaderEnd(int components = 3);

}  // namespace quillmere::testing::fixtures
