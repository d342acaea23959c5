// PNG headers through libpng. libpng reports errors through our error function, which must not
// return; it longjmps back into readInfo, whose locals (like those of the read callback it passes
// through) are all trivially destructible, and the failure becomes a value there.
#include <png.h>

#include <csetjmp>
#include <cstddef>
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
  png_uint_32 frames;  // of an animated PNG, 0 when it announces no animation
};
static_assert(std::is_trivially_destructible_v<PngFields>);

constexpr png_byte kAnimationControl[] = {'a', 'c', 'T', 'L', '\0'};

png_uint_32 bigEndian32(const png_byte* bytes) {
  return (png_uint_32{bytes[0]} << 24) | (png_uint_32{bytes[1]} << 16) |
         (png_uint_32{bytes[2]} << 8) | png_uint_32{bytes[3]};
}

// The only function with setjmp. `png` and `info` outlive it and are destroyed by the caller.
bool readInfo(png_structp png, png_infop info, Reader& reader, PngFields& fields) {
  if (setjmp(png_jmpbuf(png)) != 0) return false;

  png_set_read_fn(png, &reader, readBytes);
  // libpng's default limit (1,000,000 pixels each way) must not decide before the system's own.
  png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
  // Everything before the image data except the palette and transparency is skipped unread by
  // libpng (no ICC profile or text is inflated), except the animation control chunk, which libpng
  // does not know and which is kept so the frames can be counted.
  png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);
  png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_ALWAYS, kAnimationControl, 1);

  // Reads every chunk up to the first image data chunk; no pixel is inflated.
  png_read_info(png, info);

  fields.width = png_get_image_width(png, info);
  fields.height = png_get_image_height(png, info);
  fields.bitDepth = png_get_bit_depth(png, info);
  fields.colorType = png_get_color_type(png, info);
  fields.frames = 0;
  png_unknown_chunkp chunks = nullptr;
  const int chunkCount = png_get_unknown_chunks(png, info, &chunks);
  for (int i = 0; i < chunkCount; ++i) {
    if (std::memcmp(chunks[i].name, kAnimationControl, 4) == 0 && chunks[i].size >= 8) {
      fields.frames = bigEndian32(chunks[i].data);
      break;
    }
  }
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
  const std::uint64_t images = fields.frames > 1 ? fields.frames : 1;
  // The samples of an indexed-colour image are its palette entries, which have 8 bits each
  // whatever the width of the indices.
  const std::uint64_t bits =
      fields.colorType == PNG_COLOR_TYPE_PALETTE ? 8 : static_cast<std::uint64_t>(fields.bitDepth);
  return HeaderFacts{images, fields.width, fields.height, bits};
}

}  // namespace quillmere::inspect
