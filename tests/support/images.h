#pragma once

#include <cstdint>
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
