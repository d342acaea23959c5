#include "support/images.h"

#include <cstddef>
#include <cstdio>
// jpeglib.h uses size_t and FILE without declaring them, so it must follow the two above.
// clang-format off
#include <jpeglib.h>
// clang-format on

#include <fcntl.h>
#include <png.h>
#include <tiffio.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "support/temp_dir.h"

namespace quillmere::testing::fixtures {
namespace {

// Pixel bytes with some structure, so the encoders have something to compress; `seed` shifts them,
// so two images of one size can differ.
std::vector<unsigned char> pattern(std::size_t size, int seed) {
  std::vector<unsigned char> bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<unsigned char>(((i * 31) ^ (i >> 5)) + static_cast<unsigned>(seed));
  }
  return bytes;
}

void appendBigEndian(std::string& out, std::uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void appendLittleEndian(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::uint32_t crc32(const std::string& bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const char c : bytes) {
    crc ^= static_cast<unsigned char>(c);
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void appendToString(png_structp png, png_bytep data, png_size_t length) {
  static_cast<std::string*>(png_get_io_ptr(png))
      ->append(reinterpret_cast<const char*>(data), length);
}

struct Chunk {
  std::string type;
  std::string data;
};

std::vector<Chunk> chunksOf(const std::string& png) {
  std::vector<Chunk> chunks;
  std::size_t at = 8;
  while (at + 12 <= png.size()) {
    std::uint32_t length = 0;
    for (int i = 0; i < 4; ++i) length = (length << 8) | static_cast<unsigned char>(png[at + i]);
    chunks.push_back({png.substr(at + 4, 4), png.substr(at + 8, length)});
    at += 12 + length;
  }
  return chunks;
}

std::string frameControl(std::uint32_t sequence, std::uint32_t width, std::uint32_t height) {
  std::string data;
  appendBigEndian(data, sequence, 4);
  appendBigEndian(data, width, 4);
  appendBigEndian(data, height, 4);
  appendBigEndian(data, 0, 4);   // x offset
  appendBigEndian(data, 0, 4);   // y offset
  appendBigEndian(data, 1, 2);   // delay numerator
  appendBigEndian(data, 10, 2);  // delay denominator
  data.push_back(0);             // dispose: none
  data.push_back(0);             // blend: source
  return pngChunk("fcTL", data);
}

}  // namespace

std::string encodedJpeg(int width, int height, JpegColour colour, bool progressive, int seed) {
  jpeg_compress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = static_cast<JDIMENSION>(width);
  info.image_height = static_cast<JDIMENSION>(height);
  switch (colour) {
    case JpegColour::gray:
      info.input_components = 1;
      info.in_color_space = JCS_GRAYSCALE;
      break;
    case JpegColour::rgb:
      info.input_components = 3;
      info.in_color_space = JCS_RGB;
      break;
    case JpegColour::cmyk:
      info.input_components = 4;
      info.in_color_space = JCS_CMYK;
      break;
  }
  jpeg_set_defaults(&info);
  if (progressive) jpeg_simple_progression(&info);
  jpeg_start_compress(&info, TRUE);
  const std::size_t rowSize = static_cast<std::size_t>(width) * info.input_components;
  auto pixels = pattern(rowSize * height, seed);
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = &pixels[info.next_scanline * rowSize];
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::string out(reinterpret_cast<const char*>(buffer), size);
  std::free(buffer);
  return out;
}

std::string withLargeAppSegments(const std::string& jpeg, int count) {
  std::string segments;
  for (int i = 0; i < count; ++i) {
    segments += "\xFF\xE2\xFF\xFF";  // APP2, the largest length (which counts itself)
    segments += std::string(65533, static_cast<char>('a' + i));
  }
  return jpeg.substr(0, 2) + segments + jpeg.substr(2);
}

std::string encodedPng(int width, int height, int bitDepth, int colourType, bool interlaced,
                       int seed) {
  std::string out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    throw std::runtime_error("cannot encode test PNG");
  }
  png_set_write_fn(png, &out, appendToString, nullptr);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height),
               bitDepth, colourType, interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_color palette[4] = {{0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
  if (colourType == PNG_COLOR_TYPE_PALETTE) png_set_PLTE(png, info, palette, bitDepth == 1 ? 2 : 4);
  png_write_info(png, info);
  if (interlaced) png_set_interlace_handling(png);
  const std::size_t rowBytes = png_get_rowbytes(png, info);
  // Palette indices must stay below the palette size: keep the low bits of every index small.
  auto pixels = pattern(rowBytes * height, seed);
  if (colourType == PNG_COLOR_TYPE_PALETTE) {
    for (auto& byte : pixels) byte &= bitDepth == 8 ? 0x03 : bitDepth == 4 ? 0x33 : 0xFF;
  }
  std::vector<png_bytep> rows(height);
  for (int y = 0; y < height; ++y) rows[y] = &pixels[static_cast<std::size_t>(y) * rowBytes];
  png_write_image(png, rows.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

std::string animatedPng(int width, int height, int bitDepth, int colourType, int frames) {
  const std::string still = encodedPng(width, height, bitDepth, colourType);
  std::string before;  // IHDR and any chunk before the image data
  std::string imageData;
  for (const Chunk& chunk : chunksOf(still)) {
    if (chunk.type == "IDAT") {
      imageData += chunk.data;
    } else if (chunk.type != "IEND") {
      before += pngChunk(chunk.type, chunk.data);
    }
  }
  std::string control;
  appendBigEndian(control, static_cast<std::uint32_t>(frames), 4);
  appendBigEndian(control, 0, 4);  // loop forever
  std::string out = still.substr(0, 8) + before + pngChunk("acTL", control);
  std::uint32_t sequence = 0;
  out += frameControl(sequence++, width, height);
  out += pngChunk("IDAT", imageData);
  for (int frame = 1; frame < frames; ++frame) {
    out += frameControl(sequence++, width, height);
    std::string frameData;
    appendBigEndian(frameData, sequence++, 4);
    out += pngChunk("fdAT", frameData + imageData);
  }
  return out + pngChunk("IEND", "");
}

std::string encodedTiff(const TiffSpec& spec) {
  TempDir scratch;
  const std::string path = scratch / "fixture.tif";
  std::string mode = "w";
  if (spec.bigTiff) mode += "8";
  if (spec.bigEndian) mode += "b";
  TIFF* tiff = TIFFOpen(path.c_str(), mode.c_str());
  if (!tiff) throw std::runtime_error("cannot encode test TIFF");
  for (int page = 0; page < spec.pages; ++page) {
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, spec.width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, spec.height);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, spec.bitsPerSample);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, spec.samplesPerPixel);
    TIFFSetField(tiff, TIFFTAG_SAMPLEFORMAT, spec.sampleFormat);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC,
                 spec.samplesPerPixel == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    if (spec.pages > 1) {
      TIFFSetField(tiff, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
      TIFFSetField(tiff, TIFFTAG_PAGENUMBER, page, spec.pages);
    }
    if (spec.tiled) {
      TIFFSetField(tiff, TIFFTAG_TILEWIDTH, 16);
      TIFFSetField(tiff, TIFFTAG_TILELENGTH, 16);
      const auto tileSize = static_cast<std::size_t>(TIFFTileSize(tiff));
      auto tile = pattern(tileSize, spec.seed);
      for (ttile_t i = 0; i < TIFFNumberOfTiles(tiff); ++i) {
        TIFFWriteEncodedTile(tiff, i, tile.data(), static_cast<tmsize_t>(tileSize));
      }
    } else {
      TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, spec.height);
      const auto rowSize = static_cast<std::size_t>(TIFFScanlineSize(tiff));
      auto row = pattern(rowSize, spec.seed);
      for (int y = 0; y < spec.height; ++y) {
        TIFFWriteScanline(tiff, row.data(), static_cast<std::uint32_t>(y), 0);
      }
    }
    TIFFWriteDirectory(tiff);
  }
  TIFFClose(tiff);
  return readFile(path);
}

std::string pngChunk(const std::string& type, const std::string& data) {
  std::string out;
  appendBigEndian(out, data.size(), 4);
  out += type + data;
  appendBigEndian(out, crc32(type + data), 4);
  return out;
}

std::string withChunkAfterHeader(const std::string& png, const std::string& chunk) {
  constexpr std::size_t kHeaderEnd = 8 + 12 + 13;  // signature, IHDR
  return png.substr(0, kHeaderEnd) + chunk + png.substr(kHeaderEnd);
}

void writePngWithRepeatedChunk(const std::string& path, const std::string& type,
                               std::uint32_t length, int count) {
  // The checksum covers the type and the data; the data are zeros.
  const std::vector<Bytef> zeros(1 << 20, 0);
  uLong crc = ::crc32(0L, reinterpret_cast<const Bytef*>(type.data()), 4);
  for (std::uint32_t done = 0; done < length;) {
    const auto part = static_cast<uInt>(std::min<std::size_t>(zeros.size(), length - done));
    crc = ::crc32(crc, zeros.data(), part);
    done += part;
  }
  std::string start;
  appendBigEndian(start, length, 4);
  start += type;
  std::string end;
  appendBigEndian(end, crc, 4);

  const std::string png = craftedPng(1, 1);
  constexpr std::size_t kHeaderEnd = 8 + 12 + 13;  // signature, IHDR
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error("cannot create " + path);
  off_t offset = 0;
  const auto put = [&](const std::string& bytes) {
    if (::pwrite(fd, bytes.data(), bytes.size(), offset) != static_cast<ssize_t>(bytes.size())) {
      ::close(fd);
      throw std::runtime_error("cannot write " + path);
    }
    offset += static_cast<off_t>(bytes.size());
  };
  put(png.substr(0, kHeaderEnd));
  for (int i = 0; i < count; ++i) {
    put(start);
    offset += length;  // left a hole
    put(end);
  }
  put(png.substr(kHeaderEnd));
  ::close(fd);
}

std::string craftedPng(std::uint32_t width, std::uint32_t height, int bitDepth, int colourType) {
  std::string header;
  appendBigEndian(header, width, 4);
  appendBigEndian(header, height, 4);
  header.push_back(static_cast<char>(bitDepth));
  header.push_back(static_cast<char>(colourType));
  header.append(3, '\0');  // deflate, adaptive filtering, no interlace
  std::string out = "\x89PNG\r\n\x1A\n";
  out += pngChunk("IHDR", header);
  if (colourType == 3) out += pngChunk("PLTE", std::string(12, '\x7F'));
  out += pngChunk("IDAT", std::string("\x78\x9C\x63\x00\x00\x00\x01\x00\x01", 9));
  return out + pngChunk("IEND", "");
}

namespace {

constexpr int kShort = 3;
constexpr int kLong = 4;
constexpr int kUndefined = 7;

struct Entry {
  std::uint16_t tag;
  int type;
  std::uint32_t value;
  std::uint64_t count = 1;
};

std::vector<Entry> craftedEntries(const CraftedTiff& spec, std::uint32_t dataOffset) {
  std::vector<Entry> entries = {{256, kLong, spec.width}, {257, kLong, spec.height}};
  if (spec.bitsPerSample) entries.push_back({258, kShort, *spec.bitsPerSample});
  entries.push_back({259, kShort, 1});           // no compression
  entries.push_back({262, kShort, 1});           // black is zero
  entries.push_back({273, kLong, dataOffset});   // strip offsets
  entries.push_back({277, kShort, 1});           // samples per pixel
  entries.push_back({278, kLong, spec.height});  // rows per strip: one strip
  entries.push_back({279, kLong, 16});           // strip byte counts: a token
  for (int i = 0; i < spec.privateTags; ++i) {
    entries.push_back(
        {static_cast<std::uint16_t>(65000 + i), kUndefined, dataOffset, spec.privateTagBytes});
  }
  return entries;
}

std::size_t directorySize(const CraftedTiff& spec) {
  return spec.bigTiff ? 8 + 20 * craftedEntries(spec, 0).size() + 8
                      : 2 + 12 * craftedEntries(spec, 0).size() + 4;
}

std::size_t headerSize(const CraftedTiff& spec) { return spec.bigTiff ? 16 : 8; }

}  // namespace

std::uint32_t craftedTiffDirectoryOffset(const CraftedTiff& spec, int page) {
  return static_cast<std::uint32_t>(headerSize(spec) + page * directorySize(spec));
}

std::uint32_t craftedTiffDataOffset(const CraftedTiff& spec) {
  return craftedTiffDirectoryOffset(spec, spec.pages);
}

std::size_t craftedTiffFirstDirectoryEnd(const CraftedTiff& spec) {
  return craftedTiffDirectoryOffset(spec, 0) + directorySize(spec) - (spec.bigTiff ? 8 : 4);
}

std::string craftedTiff(const CraftedTiff& spec) {
  const auto put = [&](std::string& out, std::uint64_t value, int bytes) {
    spec.bigEndian ? appendBigEndian(out, value, bytes) : appendLittleEndian(out, value, bytes);
  };
  const auto dataOffset = craftedTiffDataOffset(spec);
  // Classic TIFF: 4-byte offsets, counts and value fields, 2-byte entry counts; BigTIFF: all 8.
  const int wide = spec.bigTiff ? 8 : 4;
  std::string out = spec.bigEndian ? "MM" : "II";
  put(out, spec.bigTiff ? 43 : 42, 2);
  if (spec.bigTiff) {
    put(out, 8, 2);  // offset size
    put(out, 0, 2);
  }
  // The default points at the first directory, wherever the header ends.
  put(out, spec.firstDirectoryOffset == 8 ? headerSize(spec) : spec.firstDirectoryOffset, wide);
  for (int page = 0; page < spec.pages; ++page) {
    const auto entries = craftedEntries(spec, dataOffset);
    put(out, entries.size(), spec.bigTiff ? 8 : 2);
    for (const Entry& entry : entries) {
      put(out, entry.tag, 2);
      put(out, static_cast<std::uint64_t>(entry.type), 2);
      put(out, entry.count, wide);
      // A value that fits sits in the first bytes of the field; otherwise the field holds the
      // offset of the value.
      const int size = entry.type == kShort ? 2 : entry.type == kLong ? 4 : wide;
      put(out, entry.value, size);
      out.append(static_cast<std::size_t>(wide - size), '\0');
    }
    put(out,
        page + 1 < spec.pages ? craftedTiffDirectoryOffset(spec, page + 1) : spec.lastNextOffset,
        wide);
  }
  return out + std::string(16, '\0');
}

std::string craftedJpeg(std::uint16_t width, std::uint16_t height, int precision, int sofMarker,
                        int components) {
  std::string out = "\xFF\xD8";
  out.push_back('\xFF');
  out.push_back(static_cast<char>(sofMarker));
  appendBigEndian(out, 8 + 3 * components, 2);
  out.push_back(static_cast<char>(precision));
  appendBigEndian(out, height, 2);
  appendBigEndian(out, width, 2);
  out.push_back(static_cast<char>(components));
  for (int i = 0; i < components; ++i) {
    out.push_back(static_cast<char>(i + 1));  // component identifier
    out.push_back('\x11');                    // 1x1 sampling
    out.push_back('\0');                      // quantisation table 0
  }
  out += "\xFF\xDA";
  appendBigEndian(out, 6 + 2 * components, 2);
  out.push_back(static_cast<char>(components));
  for (int i = 0; i < components; ++i) {
    out.push_back(static_cast<char>(i + 1));
    out.push_back('\0');  // Huffman tables 0/0
  }
  out += std::string("\x00\x3F\x00", 3);  // spectral selection 0..63, no approximation
  out += std::string(8, '\x55');
  return out + "\xFF\xD9";
}

std::size_t craftedJpegHeaderEnd(int components) {
  return 2 + (2 + 8 + 3 * static_cast<std::size_t>(components)) +
         (2 + 6 + 2 * static_cast<std::size_t>(components));
}

}  // namespace quillmere::testing::fixtures
