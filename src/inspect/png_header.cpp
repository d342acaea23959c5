// PNG headers through libpng. libpng reports errors through our error function, which must not
// return; it longjmps back into readInfo, whose locals (like those of the read callback it passes
// through) are all trivially destructible, and the failure becomes a value there.
#include <png.h>

#include <array>
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <type_traits>

#include "inspect/image_headers.h"

namespace quillmere::inspect {
namespace {

struct Reader {
  ByteSource* source;
  std::uint64_t offset;
};

void readBytes(png_structp png, png_bytep data, std::size_t length) {
  auto* reader = static_cast<Reader*>(png_get_io_ptr(png));
  const std::size_t count =
      reader->source->readAt(reader->offset, std::as_writable_bytes(std::span(data, length)));
  reader->offset += count;
  if (count != length) png_error(png, "truncated");
}

// libpng prints and then longjmps when an error function returns, so ours never returns.
[[noreturn]] void exitOnError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void ignoreWarning(png_structp, png_const_charp) {}

struct PngFields {
  png_uint_32 width;
  png_uint_32 height;
  int bitDepth;
  int colorType;
};
static_assert(std::is_trivially_destructible_v<PngFields>);

std::uint32_t bigEndian32(const std::byte* bytes) {
  return (std::to_integer<std::uint32_t>(bytes[0]) << 24) |
         (std::to_integer<std::uint32_t>(bytes[1]) << 16) |
         (std::to_integer<std::uint32_t>(bytes[2]) << 8) | std::to_integer<std::uint32_t>(bytes[3]);
}

bool hasType(const std::byte* chunkHeader, const char (&type)[5]) {
  return std::memcmp(chunkHeader + 4, type, 4) == 0;
}

// The number of frames an animated PNG announces in its animation control chunk (acTL), 0 when
// it has none, or nothing when that chunk is malformed: repeated, or not the 8 bytes it is.
// libpng does not know the chunk, and keeping unknown chunks would make it hold a copy of every
// one of them (a file can repeat a chunk of megabytes many times), so the chunk headers are
// walked here instead, from the signature to the first image data chunk, each chunk's data
// skipped by its length and only the acTL's 8 bytes read. Where the walk cannot go on (a cut or
// an absurd length), it stops with what it has seen: libpng refuses such a file anyway.
std::optional<std::uint32_t> announcedFrames(ByteSource& source) {
  constexpr std::uint64_t kSignatureSize = 8;
  constexpr std::uint32_t kLargestChunk = 0x7FFF'FFFF;  // lengths are 31-bit in PNG
  std::optional<std::uint32_t> frames;
  std::uint64_t offset = kSignatureSize;
  for (;;) {
    std::array<std::byte, 8> header{};  // length, type
    if (source.readAt(offset, header) != header.size()) break;
    const std::uint32_t length = bigEndian32(header.data());
    if (length > kLargestChunk || hasType(header.data(), "IDAT") ||
        hasType(header.data(), "IEND")) {
      break;
    }
    if (hasType(header.data(), "acTL")) {
      if (frames || length != 8) return std::nullopt;
      std::array<std::byte, 8> control{};  // number of frames, number of plays
      if (source.readAt(offset + header.size(), control) != control.size()) break;
      frames = bigEndian32(control.data());
    }
    offset += header.size() + length + 4;  // and the checksum
  }
  return frames.value_or(0);
}

// The only function with setjmp. `png` and `info` outlive it and are destroyed by the caller.
bool readInfo(png_structp png, png_infop info, Reader& reader, PngFields& fields) {
  if (setjmp(png_jmpbuf(png)) != 0) return false;

  png_set_read_fn(png, &reader, readBytes);
  // libpng's default limit (1,000,000 pixels each way) must not decide before the system's own.
  png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
  // Everything before the image data except the palette and transparency is skipped by libpng in
  // small reads and never kept (no ICC profile or text is inflated, no unknown chunk is copied).
  png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);

  // Reads every chunk up to the first image data chunk; no pixel is inflated.
  png_read_info(png, info);

  fields.width = png_get_image_width(png, info);
  fields.height = png_get_image_height(png, info);
  fields.bitDepth = png_get_bit_depth(png, info);
  fields.colorType = png_get_color_type(png, info);
  return true;
}

class PngReadStructs {
 public:
  png_structp png = nullptr;
  png_infop info = nullptr;
  PngReadStructs() = default;
  PngReadStructs(const PngReadStructs&) = delete;
  PngReadStructs& operator=(const PngReadStructs&) = delete;
  ~PngReadStructs() { png_destroy_read_struct(&png, info ? &info : nullptr, nullptr); }
};

}  // namespace

std::optional<HeaderFacts> readPngHeader(ByteSource& source) {
  const std::optional<std::uint32_t> frames = announcedFrames(source);
  if (!frames) return std::nullopt;

  Reader reader{&source, 0};
  PngReadStructs structs;
  structs.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, exitOnError, ignoreWarning);
  if (structs.png == nullptr) throw std::bad_alloc();
  structs.info = png_create_info_struct(structs.png);
  if (structs.info == nullptr) throw std::bad_alloc();

  PngFields fields{};
  if (!readInfo(structs.png, structs.info, reader, fields)) return std::nullopt;

  // An animated PNG announcing several frames holds several images. An announcement of no
  // frames is invalid animation data; the still image stands on its own, as viewers show it.
  const std::uint64_t images = *frames > 1 ? *frames : 1;
  // The samples of an indexed-colour image are its palette entries, which have 8 bits each
  // whatever the width of the indices.
  const std::uint64_t bits =
      fields.colorType == PNG_COLOR_TYPE_PALETTE ? 8 : static_cast<std::uint64_t>(fields.bitDepth);
  return HeaderFacts{images, fields.width, fields.height, bits};
}

}  // namespace quillmere::inspect
