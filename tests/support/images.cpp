#include "support/images.h"

#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace quillmere::testing {

namespace {

std::vector<unsigned char> rgb(int width, int height, int seed) {
  std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height * 3);
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<unsigned char>(i * 7 + seed);
  return pixels;
}

void appendPng(png_structp png, png_bytep data, png_size_t length) {
  auto* out = static_cast<std::string*>(png_get_io_ptr(png));
  out->append(reinterpret_cast<const char*>(data), length);
}

}  // namespace

std::string pngImage(int width, int height, int seed) {
  std::string out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    throw std::runtime_error("cannot encode test PNG");
  }
  png_set_write_fn(png, &out, appendPng, nullptr);
  png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  auto pixels = rgb(width, height, seed);
  for (int y = 0; y < height; ++y) png_write_row(png, &pixels[static_cast<std::size_t>(y) * width * 3]);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

std::string jpegImage(int width, int height, int seed) {
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr jerr{};
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = static_cast<JDIMENSION>(width);
  cinfo.image_height = static_cast<JDIMENSION>(height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_start_compress(&cinfo, TRUE);
  auto pixels = rgb(width, height, seed);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = &pixels[static_cast<std::size_t>(cinfo.next_scanline) * width * 3];
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::string out(reinterpret_cast<const char*>(buffer), size);
  std::free(buffer);
  return out;
}

std::string tiffImage(int width, int height, int seed) {
  const char* base = std::getenv("TMPDIR");
  std::string path = std::string(base && *base ? base : "/tmp") + "/quillmere-tiff-XXXXXX";
  const int fd = mkstemp(path.data());
  if (fd < 0) throw std::runtime_error("cannot create a temporary TIFF");
  close(fd);
  TIFF* tiff = TIFFOpen(path.c_str(), "w");
  if (!tiff) throw std::runtime_error("cannot encode test TIFF");
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, height);
  auto pixels = rgb(width, height, seed);
  for (int y = 0; y < height; ++y) {
    TIFFWriteScanline(tiff, &pixels[static_cast<std::size_t>(y) * width * 3], static_cast<uint32_t>(y), 0);
  }
  TIFFClose(tiff);
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  unlink(path.c_str());
  return bytes.str();
}

}  // namespace quillmere::testing
