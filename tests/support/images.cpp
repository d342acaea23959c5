#include "support/images.h"

#include <png.h>

#include "support/image_fixtures.h"

namespace quillmere::testing {

std::string pngImage(int width, int height, int seed) {
  return fixtures::encodedPng(width, height, 8, PNG_COLOR_TYPE_RGB, false, seed);
}

std::string jpegImage(int width, int height, int seed) {
  return fixtures::encodedJpeg(width, height, fixtures::JpegColour::rgb, false, seed);
}

std::string tiffImage(int width, int height, int seed) {
  fixtures::TiffSpec spec;
  spec.width = width;
  spec.height = height;
  spec.seed = seed;
  return fixtures::encodedTiff(spec);
}

}  // namespace quillmere::testing
