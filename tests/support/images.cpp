#include "support/images.h"

#include <png.h>
#include <tiffio.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "support/images.h"

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

bool writeTwoColourTiff(const std::string& path, std::uint32_t width, std::uint32_t height,
                        int bitsPerSample, bool lzw) {
  TIFF* tiff = TIFFOpen(path.c_str(), "w");
  if (tiff == nullptr) return false;
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, bitsPerSample);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tiff, TIFFTAG_COMPRESSION, lzw ? COMPRESSION_LZW : COMPRESSION_NONE);
  TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 16);
  const auto bytes = static_cast<std::size_t>(bitsPerSample / 8);
  std::vector<unsigned char> row(std::size_t{width} * 3 * bytes, 0);
  for (std::uint32_t x = 0; x < width; ++x) {
    // Full red or full blue, in every byte of the sample.
    const std::size_t channel = x < width / 2 ? 0 : 2;
    std::fill_n(row.begin() + static_cast<std::ptrdiff_t>((x * 3 + channel) * bytes), bytes, 0xFF);
  }
  bool written = true;
  for (std::uint32_t y = 0; y < height && written; ++y) {
    written = TIFFWriteScanline(tiff, row.data(), y, 0) == 1;
  }
  // Closing writes the last strip and the directory.
  written = TIFFFlush(tiff) == 1 && written;
  TIFFClose(tiff);
  return written;
}

std::string dngLikeImage(const std::string& preview, int previewWidth, int previewHeight,
                         bool previewIsJpeg, int rawWidth, int rawHeight, int orientation) {
  const auto rawColumns = static_cast<std::uint32_t>(rawWidth);
  const auto rawRows = static_cast<std::uint32_t>(rawHeight);
  std::string file;
  file.reserve(std::size_t{rawColumns} * rawRows * 2 + preview.size() + 1024);
  auto put16 = [&file](std::uint32_t value) {
    file.push_back(static_cast<char>(value & 0xff));
    file.push_back(static_cast<char>((value >> 8) & 0xff));
  };
  auto put32 = [&](std::uint32_t value) {
    put16(value & 0xffff);
    put16(value >> 16);
  };
  struct Entry {
    std::uint16_t tag;
    std::uint16_t type;  // 1 byte, 2 ascii, 3 short, 4 long
    std::uint32_t count;
    std::uint32_t value;  // inline value or offset
  };
  auto putDirectory = [&](const std::vector<Entry>& entries) {
    put16(static_cast<std::uint32_t>(entries.size()));
    for (const Entry& entry : entries) {
      put16(entry.tag);
      put16(entry.type);
      put32(entry.count);
      put32(entry.value);
    }
    put32(0);
  };
  constexpr std::uint32_t kDirectorySize = 2 + 12 * 17 + 4;
  // Layout: header (8), main directory, raw directory, strings and arrays, preview, raw pixels.
  const std::uint32_t mainAt = 8;
  const std::uint32_t rawAt = mainAt + kDirectorySize;
  const std::uint32_t extraAt = rawAt + kDirectorySize;
  const std::string make = std::string("Quillmere") + '\0';
  const std::string model = std::string("Test Mosaic") + '\0';
  const std::uint32_t makeAt = extraAt;
  const std::uint32_t modelAt = makeAt + static_cast<std::uint32_t>(make.size());
  const std::uint32_t bitsAt = modelAt + static_cast<std::uint32_t>(model.size()) + 1;
  const std::uint32_t previewAt = bitsAt + 8;
  const std::uint32_t pixelsAt = previewAt + static_cast<std::uint32_t>(preview.size()) + 1;
  const std::uint32_t pixelBytes = rawColumns * rawRows * 2;

  file = "II";
  put16(42);
  put32(mainAt);
  std::vector<Entry> main{
      {254, 4, 1, 1},  // a reduced-resolution image
      {256, 4, 1, static_cast<std::uint32_t>(previewWidth)},
      {257, 4, 1, static_cast<std::uint32_t>(previewHeight)},
      {258, 3, 3, bitsAt},
      {259, 3, 1, previewIsJpeg ? 7u : 1u},  // JPEG or none
      {262, 3, 1, previewIsJpeg ? 6u : 2u},  // YCbCr or RGB
      {271, 2, static_cast<std::uint32_t>(make.size()), makeAt},
      {272, 2, static_cast<std::uint32_t>(model.size()), modelAt},
      {273, 4, 1, previewAt},
      {277, 3, 1, 3},
      {278, 4, 1, static_cast<std::uint32_t>(previewHeight)},
      {279, 4, 1, static_cast<std::uint32_t>(preview.size())},
      {330, 4, 1, rawAt},         // the raw data's directory
      {50706, 1, 4, 0x00000401},  // DNGVersion 1.4.0.0
      {50707, 1, 4, 0x00000101},  // DNGBackwardVersion 1.1.0.0
      {50708, 2, static_cast<std::uint32_t>(model.size()), modelAt},
  };
  if (orientation != 0) {
    // After StripOffsets (273), in tag order.
    const auto at =
        std::find_if(main.begin(), main.end(), [](const Entry& e) { return e.tag > 273; });
    main.insert(at, Entry{274, 3, 1, static_cast<std::uint32_t>(orientation)});
  }
  putDirectory(main);
  file.resize(rawAt, '\0');  // room for a directory of the most entries
  std::vector<Entry> raw{
      {254, 4, 1, 0},
      {256, 4, 1, rawColumns},
      {257, 4, 1, rawRows},
      {258, 3, 1, 16},
      {259, 3, 1, 1},
      {262, 3, 1, 32803},  // colour filter array
      {273, 4, 1, pixelsAt},
      {277, 3, 1, 1},
      {278, 4, 1, rawRows},
      {279, 4, 1, pixelBytes},
      {284, 3, 1, 1},
      {33421, 3, 2, 0x00020002},  // CFARepeatPatternDim 2 x 2
      {33422, 1, 4, 0x02010100},  // CFAPattern R G G B
      {50710, 1, 3, 0x00020100},  // CFAPlaneColor
      {50711, 3, 1, 1},           // CFALayout
      {50717, 4, 1, 65535},       // WhiteLevel
  };
  putDirectory(raw);
  file.resize(extraAt, '\0');
  file += make;
  file += model;
  file.push_back('\0');
  put16(8);
  put16(8);
  put16(8);
  put16(0);
  file += preview;
  file.push_back('\0');
  for (std::uint32_t i = 0; i < rawColumns * rawRows; ++i) put16((i * 37) % 4096);
  return file;
}

}  // namespace quillmere::testing
