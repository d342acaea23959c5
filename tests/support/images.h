#pragma once

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

}  // namespace quillmere::testing
