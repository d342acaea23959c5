#pragma once

#include <string>

namespace quillmere::testing {

// Small, valid images encoded by the real libraries, for tests that need renders. Pixel content
// varies with `seed`, so two images of the same size can differ.
std::string pngImage(int width, int height, int seed = 0);
std::string jpegImage(int width, int height, int seed = 0);
std::string tiffImage(int width, int height, int seed = 0);

}  // namespace quillmere::testing
