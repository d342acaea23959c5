// Writes the seed corpora of the fuzz targets: small valid files of every kind the system reads.
//
//   make_fuzz_seeds <folder>   writes <folder>/request/*.json, <folder>/image/*,
//                              <folder>/thumbnail/* (raw-like originals; the thumbnail fuzzer
//                              starts from the image seeds too) and <folder>/manifest/*.json
//   make_fuzz_seeds --near-limits <folder>
//                              writes only requests and manifests of nearly the largest size their
//                              fuzzers try, into <folder>/request and <folder>/manifest: megabytes
//                              that are made again for each run rather than kept in the repository
//
// Images come from the real encoders, so every accepted container, bit depth and layout that
// imageInfo distinguishes starts the fuzzer off inside the parsers rather than at their front door:
// PNG in every colour type, interlaced and animated; JPEG baseline, progressive, with an Exif
// segment and with 12-bit samples; TIFF in both byte orders, BigTIFF, tiled, floating point,
// bilevel and with two pages; one of each container with its headers past the first 64 KiB. A few
// near misses (refused bit depths, several images) are included because they lead down the refusal
// paths. Requests cover the valid form and each way decoding can fail; manifests are written by the
// program's own writer, with a few near misses of the shapes --verify refuses.
#include <png.h>
#include <tiffio.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz/input_sizes.h"
#include "inspect/digest.h"
#include "support/images.h"
#include "transfer/manifest.h"

// jpeglib.h uses size_t and FILE without declaring them; it comes after <cstdio>.
#include <jpeglib.h>

namespace {

namespace fs = std::filesystem;

void save(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

// --- PNG ---------------------------------------------------------------------------------------

struct PngShape {
  int width;
  int height;
  int bitDepth;
  int colorType;
  bool interlaced = false;
  std::uint32_t animationFrames = 0;  // writes an acTL chunk when non-zero
  std::size_t privateChunkBytes = 0;  // writes a private chunk of that size right after IHDR
};

void appendToString(png_structp png, png_bytep data, std::size_t length) {
  static_cast<std::string*>(png_get_io_ptr(png))
      ->append(reinterpret_cast<const char*>(data), length);
}
void noFlush(png_structp) {}

std::string pngImage(const PngShape& shape) {
  std::string out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) throw std::runtime_error("libpng failed");
  png_set_write_fn(png, &out, appendToString, noFlush);
  png_set_IHDR(png, info, static_cast<png_uint_32>(shape.width),
               static_cast<png_uint_32>(shape.height), shape.bitDepth, shape.colorType,
               shape.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  std::vector<png_color> palette;
  if (shape.colorType == PNG_COLOR_TYPE_PALETTE) {
    for (int i = 0; i < (1 << shape.bitDepth); ++i) {
      palette.push_back(
          png_color{static_cast<png_byte>(i * 16), static_cast<png_byte>(255 - i * 16), 7});
    }
    png_set_PLTE(png, info, palette.data(), static_cast<int>(palette.size()));
  }
  // Chunks libpng does not know, written right after IHDR: a private one first, so that it pushes
  // everything after it (palette, animation control, image data) further into the file.
  std::vector<png_unknown_chunk> unknown;
  std::string privateData(shape.privateChunkBytes, 'q');
  if (shape.privateChunkBytes != 0) {
    png_unknown_chunk chunk{};
    std::memcpy(chunk.name, "prVt", 5);
    chunk.data = reinterpret_cast<png_byte*>(privateData.data());
    chunk.size = privateData.size();
    chunk.location = PNG_HAVE_IHDR;
    unknown.push_back(chunk);
  }
  png_byte control[8] = {};
  if (shape.animationFrames != 0) {
    // acTL: number of frames, number of plays (0 = forever), both big-endian.
    const std::uint32_t frames = shape.animationFrames;
    control[0] = static_cast<png_byte>(frames >> 24);
    control[1] = static_cast<png_byte>(frames >> 16);
    control[2] = static_cast<png_byte>(frames >> 8);
    control[3] = static_cast<png_byte>(frames);
    png_unknown_chunk chunk{};
    std::memcpy(chunk.name, "acTL", 5);
    chunk.data = control;
    chunk.size = sizeof control;
    chunk.location = PNG_HAVE_IHDR;
    unknown.push_back(chunk);
  }
  if (!unknown.empty()) {
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_ALWAYS, nullptr, 0);
    png_set_unknown_chunks(png, info, unknown.data(), static_cast<int>(unknown.size()));
  }
  png_write_info(png, info);
  const int channels = png_get_channels(png, info);
  const std::size_t rowBytes =
      (static_cast<std::size_t>(shape.width) * channels * shape.bitDepth + 7) / 8;
  std::vector<png_byte> row(rowBytes);
  const int passes = png_set_interlace_handling(png);
  for (int pass = 0; pass < passes; ++pass) {
    for (int y = 0; y < shape.height; ++y) {
      for (std::size_t x = 0; x < rowBytes; ++x) row[x] = static_cast<png_byte>(x * 37 + y * 11);
      png_write_row(png, row.data());
    }
  }
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return out;
}

// --- JPEG --------------------------------------------------------------------------------------

struct JpegShape {
  int width;
  int height;
  int components;  // 1 gray, 3 colour
  bool progressive = false;
  bool exif = false;
  int largeSegments = 0;  // application segments of the largest size, before the frame header
};

std::string jpegImage(const JpegShape& shape) {
  jpeg_compress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = static_cast<JDIMENSION>(shape.width);
  info.image_height = static_cast<JDIMENSION>(shape.height);
  info.input_components = shape.components;
  info.in_color_space = shape.components == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, 50, TRUE);
  if (shape.progressive) jpeg_simple_progression(&info);
  jpeg_start_compress(&info, TRUE);
  if (shape.exif) {
    static const char exif[] = "Exif\0\0MM\0*\0\0\0\x08\0\0";
    jpeg_write_marker(&info, JPEG_APP0 + 1, reinterpret_cast<const JOCTET*>(exif), sizeof exif - 1);
  }
  const std::vector<JOCTET> large(65533, 'a');  // with its length field, 65,535 bytes
  for (int i = 0; i < shape.largeSegments; ++i) {
    jpeg_write_marker(&info, JPEG_APP0 + 2, large.data(), static_cast<unsigned>(large.size()));
  }
  std::vector<JSAMPLE> row(static_cast<std::size_t>(shape.width * shape.components));
  while (info.next_scanline < info.image_height) {
    for (std::size_t x = 0; x < row.size(); ++x)
      row[x] = static_cast<JSAMPLE>(x * 29 + info.next_scanline * 3);
    JSAMPROW rows[] = {row.data()};
    jpeg_write_scanlines(&info, rows, 1);
  }
  jpeg_finish_compress(&info);
  std::string out(reinterpret_cast<const char*>(buffer), size);
  jpeg_destroy_compress(&info);
  std::free(buffer);
  return out;
}

// A baseline JPEG whose frame header is rewritten to announce extended 12-bit samples (SOF1). The
// scan data no longer matches, which does not matter: only the headers are ever read.
std::string twelveBitJpeg() {
  std::string out = jpegImage({2, 2, 1});
  const std::size_t frame = out.find("\xFF\xC0", 2);
  if (frame == std::string::npos) throw std::runtime_error("no SOF0 marker");
  out[frame + 1] = '\xC1';
  out[frame + 4] = 12;  // sample precision follows the marker and the two-byte segment length
  return out;
}

// --- TIFF --------------------------------------------------------------------------------------

struct TiffShape {
  int width;
  int height;
  int samples;  // per pixel
  int bitsPerSample;
  const char* mode = "w";  // "wb": big-endian, "w8": BigTIFF
  bool floatingPoint = false;
  bool tiled = false;
  int pages = 1;
};

void writeTiff(const fs::path& path, const TiffShape& shape) {
  TIFF* tiff = TIFFOpen(path.c_str(), shape.mode);
  if (!tiff) throw std::runtime_error("cannot open " + path.string());
  for (int page = 0; page < shape.pages; ++page) {
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(shape.width));
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(shape.height));
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, static_cast<std::uint16_t>(shape.samples));
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, static_cast<std::uint16_t>(shape.bitsPerSample));
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC,
                 shape.samples == 3 ? PHOTOMETRIC_RGB
                                    : (shape.bitsPerSample == 1 ? PHOTOMETRIC_MINISWHITE
                                                                : PHOTOMETRIC_MINISBLACK));
    if (shape.floatingPoint) TIFFSetField(tiff, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_IEEEFP);
    if (shape.pages > 1) {
      TIFFSetField(tiff, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
      TIFFSetField(tiff, TIFFTAG_PAGENUMBER, static_cast<std::uint16_t>(page),
                   static_cast<std::uint16_t>(shape.pages));
    }
    if (shape.tiled) {
      TIFFSetField(tiff, TIFFTAG_TILEWIDTH, 16u);
      TIFFSetField(tiff, TIFFTAG_TILELENGTH, 16u);
      std::vector<unsigned char> tile(static_cast<std::size_t>(TIFFTileSize(tiff)), 0x5A);
      for (int y = 0; y < shape.height; y += 16) {
        for (int x = 0; x < shape.width; x += 16) {
          TIFFWriteTile(tiff, tile.data(), static_cast<std::uint32_t>(x),
                        static_cast<std::uint32_t>(y), 0, 0);
        }
      }
    } else {
      TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, static_cast<std::uint32_t>(shape.height));
      std::vector<unsigned char> row(static_cast<std::size_t>(TIFFScanlineSize(tiff)));
      for (int y = 0; y < shape.height; ++y) {
        for (std::size_t x = 0; x < row.size(); ++x)
          row[x] = static_cast<unsigned char>(x * 13 + y);
        TIFFWriteScanline(tiff, row.data(), static_cast<std::uint32_t>(y), 0);
      }
    }
    TIFFWriteDirectory(tiff);
  }
  TIFFClose(tiff);
}

// --- Requests ----------------------------------------------------------------------------------

constexpr const char* kPair =
    R"({"sourcePath":"/originals/DSC_0001.IIQ","renderPath":"/exports/DSC_0001.jpg",)"
    R"("externalPhotoId":"photo-1","externalVariantId":"variant-1"})";

std::string request(const std::string& items, const std::string& extra = "") {
  return R"({"provider":"CAPTURE_ONE","catalogId":"catalog","destination":"/exports/batches",)" +
         extra + R"("items":[)" + items + "]}";
}

// --- Manifests ---------------------------------------------------------------------------------

// A manifest as createBatch writes it, with one item per format given, in turn, each photo's
// identifier lengthened by `padding` letters.
std::string manifest(const std::vector<std::string>& formats, std::size_t padding = 0) {
  quillmere::Manifest m{quillmere::digest("CAPTURE_ONE\ncatalog"), "2026-03-01T08:05:09Z", {},
                        "CAPTURE_ONE", "5d0c2b7e-8f3a-4c1e-9b6d-2a7f4e8c1d05"};
  for (std::size_t i = 0; i < formats.size(); ++i) {
    const std::string n = std::to_string(i);
    quillmere::ManifestItem item;
    item.image = {formats[i], 6 + static_cast<std::int64_t>(i), 4, formats[i] == "TIFF" ? 16 : 8};
    item.externalPhotoId = "photo-" + n + std::string(padding, 'p');
    item.externalVariantId = "variant-" + n;
    const std::string extension = formats[i] == "JPEG" ? "jpg" : formats[i] == "TIFF" ? "tif" : "png";
    item.renderFilename = quillmere::stableUUID("render name " + n) + "." + extension;
    item.renderSha256 = quillmere::digest("render " + n);
    item.renderId = quillmere::stableUUID(item.renderSha256);
    item.sourceSha256 = quillmere::digest("original " + n);
    item.variantId = quillmere::stableUUID("variant " + n);
    m.items.push_back(std::move(item));
  }
  return quillmere::encodeManifest(m);
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const auto at = text.find(from);
  if (at == std::string::npos) throw std::runtime_error("no " + from + " in a seed");
  return text.replace(at, from.size(), to);
}

// --- Near the fuzzers' limits -------------------------------------------------------------------

// `make(padding)` grown by the largest padding that keeps it within `limit` bytes, less `margin`:
// the size grows with the padding, at least one byte a step.
std::string grownTo(std::size_t limit, std::size_t margin,
                    const std::function<std::string(std::size_t)>& make) {
  std::size_t low = 0, high = limit;
  while (low < high) {
    const std::size_t middle = (low + high + 1) / 2;
    if (make(middle).size() <= limit - margin) {
      low = middle;
    } else {
      high = middle - 1;
    }
  }
  return make(low);
}

// Requests and manifests of nearly the largest size their fuzzers try: mutations seldom grow an
// input by megabytes, so without them the fuzzers stay among inputs of a few kilobytes. Legal ones
// and near misses at that size, of the shapes that cost the decoders most.
void writeNearLimits(const fs::path& root) {
  using quillmere::fuzz::kLargestManifestInput;
  using quillmere::fuzz::kLargestRequestInput;
  const fs::path requests = root / "request";
  const fs::path manifests = root / "manifest";
  fs::create_directories(requests);
  fs::create_directories(manifests);

  // The largest legal request: 500 pairs whose identifiers are all "/", which a manifest writes
  // as "\/", so the batch's manifest is twice as long.
  save(requests / "largest-500-pairs.json", grownTo(kLargestRequestInput, 16, [](std::size_t n) {
         std::string items;
         for (int i = 0; i < 500; ++i) {
           if (i > 0) items += ',';
           items += R"({"sourcePath":"o.IIQ","renderPath":"r.jpg","externalPhotoId":")" +
                    std::string(n / 1000, '/') + R"(","externalVariantId":")" +
                    std::string(n / 1000, '/') + std::to_string(i) + R"("})";
         }
         return request(items);
       }));
  // An array of empty objects as long as a request may be: each a refusal to be found and only
  // the first reported, in time linear in their number.
  save(requests / "empty-objects.json", grownTo(kLargestRequestInput, 16, [](std::size_t n) {
         std::string items;
         for (std::size_t i = 0; i < n / 3; ++i) items += i > 0 ? ",{}" : "{}";
         return request(items);
       }));
  // One pair whose identifier is nearly the whole request, all of it escapes to decode.
  save(requests / "one-escaped-identifier.json", grownTo(kLargestRequestInput, 16, [](std::size_t n) {
         std::string identifier;
         for (std::size_t i = 0; i < n / 6; ++i) identifier += i % 2 ? R"(\u4e2d)" : R"(\n\/\")";
         return request(replaced(kPair, "photo-1", identifier));
       }));

  // The most items a manifest may list, and one more, with photo identifiers long enough to fill
  // what the manifest fuzzer tries.
  for (const std::size_t items : {std::size_t{500}, std::size_t{501}}) {
    const std::vector<std::string> formats(items, "JPEG");
    save(manifests / ("items-" + std::to_string(items) + ".json"),
         grownTo(kLargestManifestInput, 16,
                 [&](std::size_t n) { return manifest(formats, n / items); }));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--near-limits") == 0) {
    writeNearLimits(argv[2]);
    return 0;
  }
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s [--near-limits] <corpus folder>\n", argv[0]);
    return 2;
  }
  const fs::path root = argv[1];
  const fs::path images = root / "image";
  const fs::path requests = root / "request";
  const fs::path originals = root / "thumbnail";
  fs::create_directories(originals);
  fs::create_directories(images);
  fs::create_directories(requests);

  save(images / "png-rgb8.png", pngImage({3, 2, 8, PNG_COLOR_TYPE_RGB}));
  save(images / "png-gray16.png", pngImage({2, 2, 16, PNG_COLOR_TYPE_GRAY}));
  save(images / "png-palette4.png", pngImage({3, 2, 4, PNG_COLOR_TYPE_PALETTE}));
  save(images / "png-rgba8-interlaced.png", pngImage({5, 3, 8, PNG_COLOR_TYPE_RGBA, true}));
  save(images / "png-gray-alpha16.png", pngImage({1, 1, 16, PNG_COLOR_TYPE_GRAY_ALPHA}));
  save(images / "png-gray1-refused-depth.png", pngImage({8, 1, 1, PNG_COLOR_TYPE_GRAY}));
  save(images / "png-animated-one-frame.png", pngImage({2, 2, 8, PNG_COLOR_TYPE_RGB, false, 1}));
  save(images / "png-animated-two-frames.png", pngImage({2, 2, 8, PNG_COLOR_TYPE_RGB, false, 2}));
  // Headers beyond the first 64 KiB, which inspection reads in one go: the fuzzer must be able to
  // reach what lies past that window.
  save(images / "png-palette-past-64k.png",
       pngImage({3, 2, 4, PNG_COLOR_TYPE_PALETTE, false, 1, 70'000}));
  // And near the fuzzers' 1 MiB limit, so that inputs of that size are tried from the first run
  // on: mutations rarely grow an input by hundreds of KiB, and larger inputs that reach no new
  // code (the picture maker's decoders are not instrumented) are never kept to grow further.
  save(images / "png-palette-past-960k.png",
       pngImage({3, 2, 4, PNG_COLOR_TYPE_PALETTE, false, 1, 1'000'000}));

  save(images / "jpeg-gray.jpg", jpegImage({1, 1, 1}));
  save(images / "jpeg-rgb.jpg", jpegImage({9, 7, 3}));
  save(images / "jpeg-progressive.jpg", jpegImage({4, 4, 3, true}));
  save(images / "jpeg-exif.jpg", jpegImage({2, 1, 1, false, true}));
  save(images / "jpeg-12bit.jpg", twelveBitJpeg());
  save(images / "jpeg-frame-past-64k.jpg", jpegImage({3, 2, 3, false, false, 1}));
  save(images / "jpeg-frame-past-960k.jpg", jpegImage({3, 2, 3, false, false, 15}));

  writeTiff(images / "tiff-rgb8-little-endian.tif", {2, 2, 3, 8});
  writeTiff(images / "tiff-gray16-big-endian.tif", {2, 1, 1, 16, "wb"});
  writeTiff(images / "tiff-float32.tif", {1, 1, 1, 32, "w", true});
  writeTiff(images / "tiff-bigtiff-gray8.tif", {3, 1, 1, 8, "w8"});
  writeTiff(images / "tiff-tiled-gray8.tif", {16, 16, 1, 8, "w", false, true});
  writeTiff(images / "tiff-bilevel-refused-depth.tif", {8, 1, 1, 1});
  writeTiff(images / "tiff-two-pages.tif", {1, 1, 1, 8, "w", false, false, 2});
  // libtiff writes the directory after the pixels: 75,000 bytes of them.
  writeTiff(images / "tiff-directory-past-64k.tif", {300, 250, 1, 8});

  // Raw files as LibRaw reads them: a DNG-like TIFF with a JPEG preview, and one whose preview is
  // plain RGB rows (handed over as a bitmap).
  save(originals / "dng-jpeg-preview.dng",
       quillmere::testing::dngLikeImage(jpegImage({16, 12, 3}), 16, 12));
  save(originals / "dng-bitmap-preview.dng",
       quillmere::testing::dngLikeImage(std::string(8 * 6 * 3, '\x7f'), 8, 6, false));

  save(requests / "one-pair.json", request(kPair));
  save(requests / "three-pairs-unicode.json",
       request(
           std::string(kPair) + "," +
           R"({"sourcePath":"\/\u4e2d\u6587\/\u7167\u7247.IIQ","renderPath":"render \"one\".tif",)"
           R"("externalPhotoId":"a\/b\\c\n\t\u0000","externalVariantId":"\ud83d\udcf7"},)"
           R"({"sourcePath":"","renderPath":"","externalPhotoId":"","externalVariantId":" "})"));
  save(
      requests / "unknown-keys.json",
      request(
          kPair,
          R"("note":{"nested":[1,-2.5e3,true,false,null,{"x":[]}]},"count":18446744073709551615,)"));
  save(requests / "empty-items.json", request(""));
  save(requests / "optional-null.json", request(kPair, R"("directory":null,"error":null,)"));
  save(requests / "catalog-null.json",
       R"({"provider":"CAPTURE_ONE","catalogId":null,"destination":"/d","items":[]})");
  save(requests / "items-object.json",
       R"({"provider":"CAPTURE_ONE","catalogId":"c","destination":"/d","items":{"0":{}}})");
  save(requests / "pair-missing-variant.json",
       request(R"({"sourcePath":"a","renderPath":"b","externalPhotoId":"p"})"));
  save(requests / "wrong-case-key.json",
       R"({"provider":"CAPTURE_ONE","CatalogId":"c","destination":"/d","items":[]})");
  save(requests / "deep-unknown-value.json",
       request(kPair, R"("deep":)" + std::string(100, '[') + std::string(100, ']') + ","));
  save(requests / "not-an-object.json", "[]");
  save(requests / "truncated.json", R"({"provider":"CAPTURE_ONE","catalogId":"c)");

  const fs::path manifests = root / "manifest";
  fs::create_directories(manifests);
  const std::string one = manifest({"JPEG"});
  save(manifests / "one-item.json", one);
  save(manifests / "three-formats.json", manifest({"JPEG", "PNG", "TIFF"}));
  save(manifests / "escaped-identifiers.json",
       replaced(manifest({"PNG", "PNG"}), "\"photo-1\"", R"("a\/b \"c\" \\d\n\u0001 照片")"));
  save(manifests / "name-leading-up.json", replaced(one, "\"renderFilename\" : \"",
                                                    "\"renderFilename\" : \"..\\/"));
  save(manifests / "repeated-key.json",
       replaced(one, "\"bitDepth\" : 8,", "\"bitDepth\" : 8,\n      \"bitDepth\" : 8,"));
  save(manifests / "nested-value.json", replaced(one, "\"width\" : 6", "\"width\" : [[[6]]]"));
  save(manifests / "width-beyond-64-bits.json",
       replaced(one, "\"width\" : 6", "\"width\" : 18446744073709551616"));
  save(manifests / "other-schema.json", replaced(one, "\"schemaVersion\" : 3", "\"schemaVersion\" : 2"));
  return 0;
}
