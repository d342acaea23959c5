// Times file inspection and reports, in one run:
//  (a) sha256 of a large file held in the page cache, as a ratio to OpenSSL's raw SHA-256 speed on
//      a buffer in memory (target: at least 0.9);
//  (b) regularFile + imageInfo over 500 small renders on a warm cache, as when a user adds 500
//      renders to the window (target: well under 100 ms in total).
// Usage: inspect_bench [work-folder]   (default: $TMPDIR or /tmp)

#include <cstddef>
#include <cstdio>
// jpeglib.h uses size_t and FILE without declaring them, so it must follow the two above.
// clang-format off
#include <jpeglib.h>
// clang-format on

#include <openssl/evp.h>
#include <png.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "inspect/admission.h"
#include "inspect/digest.h"
#include "inspect/image_info.h"

namespace {

namespace fs = std::filesystem;
using quillmere::bench::Clock;
using quillmere::bench::randomBytes;
using quillmere::bench::seconds;

constexpr std::size_t kLargeFileSize = std::size_t{512} << 20;
constexpr std::size_t kMemoryBufferSize = std::size_t{128} << 20;
constexpr int kRenderCount = 500;
constexpr int kRepeats = 5;

std::vector<unsigned char> pixels(std::size_t size) {
  std::vector<unsigned char> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>((i * 31) ^ (i >> 7));
  return bytes;
}

// A JPEG as an editor exports it: EXIF and an ICC profile in front of the image.
std::string exportedJpeg(int width, int height) {
  jpeg_compress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = static_cast<JDIMENSION>(width);
  info.image_height = static_cast<JDIMENSION>(height);
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, 90, TRUE);
  jpeg_start_compress(&info, TRUE);
  const std::string exif(24 * 1024, 'e');
  const std::string icc(60 * 1024, 'i');
  jpeg_write_marker(&info, JPEG_APP0 + 1, reinterpret_cast<const JOCTET*>(exif.data()),
                    static_cast<unsigned>(exif.size()));
  jpeg_write_marker(&info, JPEG_APP0 + 2, reinterpret_cast<const JOCTET*>(icc.data()),
                    static_cast<unsigned>(icc.size()));
  const std::size_t rowSize = static_cast<std::size_t>(width) * 3;
  auto image = pixels(rowSize * height);
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = &image[info.next_scanline * rowSize];
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::string out(reinterpret_cast<const char*>(buffer), size);
  std::free(buffer);
  return out;
}

void appendToString(png_structp png, png_bytep data, png_size_t length) {
  static_cast<std::string*>(png_get_io_ptr(png))
      ->append(reinterpret_cast<const char*>(data), length);
}

std::string exportedPng(int width, int height) {
  std::string out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    std::fprintf(stderr, "cannot encode a PNG\n");
    std::exit(1);
  }
  png_set_write_fn(png, &out, appendToString, nullptr);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 16,
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  const std::size_t rowSize = static_cast<std::size_t>(width) * 6;
  auto image = pixels(rowSize);
  for (int y = 0; y < height; ++y) png_write_row(png, image.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

// libtiff writes the directory after the pixels, at the end of the file.
std::string exportedTiff(const std::string& scratch, int width, int height) {
  TIFF* tiff = TIFFOpen(scratch.c_str(), "w");
  if (!tiff) {
    std::fprintf(stderr, "cannot encode a TIFF\n");
    std::exit(1);
  }
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 16);
  auto row = pixels(static_cast<std::size_t>(width) * 3);
  for (int y = 0; y < height; ++y)
    TIFFWriteScanline(tiff, row.data(), static_cast<std::uint32_t>(y), 0);
  TIFFClose(tiff);
  std::ifstream in(scratch, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  fs::remove(scratch);
  return bytes.str();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  std::string root = quillmere::bench::workFolderBase(argc, argv) + "/quillmere-inspect-bench-XXXXXX";
  if (!mkdtemp(root.data())) {
    std::perror("mkdtemp");
    return 1;
  }
  std::mt19937_64 rng(42);

  // (a) Hashing a file in the page cache against hashing memory.
  const std::string large = root + "/large.tif";
  quillmere::bench::writeFile(large, randomBytes(kLargeFileSize, rng));
  quillmere::sha256(large);  // brings the whole file into the page cache
  double fileBest = 1e9;
  for (int i = 0; i < kRepeats; ++i) {
    const auto start = Clock::now();
    quillmere::sha256(large);
    fileBest = std::min(fileBest, seconds(start));
  }
  const std::string memory = randomBytes(kMemoryBufferSize, rng);
  double memoryBest = 1e9;
  for (int i = 0; i < kRepeats; ++i) {
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const auto start = Clock::now();
    EVP_Digest(memory.data(), memory.size(), value, &length, EVP_sha256(), nullptr);
    memoryBest = std::min(memoryBest, seconds(start));
  }
  const double fileRate = kLargeFileSize / fileBest / (1 << 30);
  const double memoryRate = kMemoryBufferSize / memoryBest / (1 << 30);
  std::printf("sha256 of a %zu MiB file in the page cache: %.2f GiB/s (best of %d)\n",
              kLargeFileSize >> 20, fileRate, kRepeats);
  std::printf("OpenSSL SHA-256 of a %zu MiB buffer in memory: %.2f GiB/s (best of %d)\n",
              kMemoryBufferSize >> 20, memoryRate, kRepeats);
  std::printf("ratio: %.3f (target >= 0.9)\n", fileRate / memoryRate);
  fs::remove(large);

  // (b) Admitting and inspecting 500 renders, as adding them to the window does.
  const std::string renderBlobs[] = {exportedJpeg(1200, 800), exportedPng(400, 300),
                                     exportedTiff(root + "/scratch.tif", 600, 400)};
  const char* extensions[] = {".jpg", ".png", ".tif"};
  std::vector<std::string> renders;
  std::uint64_t renderBytes = 0;
  for (int i = 0; i < kRenderCount; ++i) {
    renders.push_back(root + "/render-" + std::to_string(i) + extensions[i % 3]);
    quillmere::bench::writeFile(renders.back(), renderBlobs[i % 3]);
    renderBytes += renderBlobs[i % 3].size();
  }
  std::vector<double> passes;
  for (int pass = 0; pass <= kRepeats; ++pass) {
    const auto start = Clock::now();
    for (const std::string& render : renders) {
      quillmere::regularFile(render);
      const quillmere::ImageInfo info = quillmere::imageInfo(render);
      if (info.width <= 0) std::abort();
    }
    if (pass > 0) passes.push_back(seconds(start));  // the first pass only warms the caches
  }
  std::printf(
      "regularFile + imageInfo of %d renders (%.1f MiB, JPEG/PNG/TIFF): median %.2f ms, "
      "best %.2f ms, %.1f us each (target well under 100 ms)\n",
      kRenderCount, renderBytes / 1048576.0, median(passes) * 1e3,
      *std::min_element(passes.begin(), passes.end()) * 1e3, median(passes) * 1e6 / kRenderCount);

  fs::remove_all(root);
  return 0;
}
