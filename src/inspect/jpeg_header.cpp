// JPEG headers through libjpeg-turbo. libjpeg reports errors by calling error_exit, which must
// not return; it longjmps back into readHeaderFields, whose locals (like those of the callbacks it
// passes through) are all trivially destructible, and the failure becomes a value there.
#include <cstddef>
#include <cstdio>
// jpeglib.h uses size_t and FILE without declaring them, so it must follow the two above.
// clang-format off
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include <csetjmp>
#include <memory>
#include <span>
#include <type_traits>

#include "inspect/image_headers.h"

namespace quillmere::inspect {
namespace {

struct ErrorManager {
  jpeg_error_mgr library;  // first, so libjpeg's pointer to it is a pointer to this
  std::jmp_buf jump;
  // The marker of the frame header libjpeg read (0xC0 baseline, 0xC1 extended, ...), or 0. This
  // build of libjpeg does not keep it, but announces it in a trace message as it reads the frame.
  int frameMarker;
};

[[noreturn]] void exitOnError(j_common_ptr info) {
  std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
}

// Warnings and traces are never printed: the caller's standard streams are not ours. The one trace
// that matters is noted: which kind of frame the file declares.
void noteMessage(j_common_ptr info, int) {
  auto* errors = reinterpret_cast<ErrorManager*>(info->err);
  if (errors->library.msg_code == JTRC_SOF) errors->frameMarker = errors->library.msg_parm.i[0];
}
void ignoreOutput(j_common_ptr) {}

// Feeds libjpeg from a ByteSource in small reads. Large marker segments (EXIF, ICC profiles)
// that libjpeg does not need are skipped by moving the offset, not by reading them.
struct SourceManager {
  jpeg_source_mgr library;  // first, for the same reason as above
  ByteSource* source;
  std::uint64_t offset;
  JOCTET buffer[4096];
};

void initSource(j_decompress_ptr) {}
void termSource(j_decompress_ptr) {}

boolean fillInputBuffer(j_decompress_ptr info) {
  auto* manager = reinterpret_cast<SourceManager*>(info->src);
  const std::size_t count =
      manager->source->readAt(manager->offset, std::as_writable_bytes(std::span(manager->buffer)));
  // Running out of bytes inside the headers means the file is truncated; there is no point in
  // libjpeg's usual fake end marker.
  if (count == 0) ERREXIT(info, JERR_INPUT_EOF);
  manager->offset += count;
  manager->library.next_input_byte = manager->buffer;
  manager->library.bytes_in_buffer = count;
  return TRUE;
}

void skipInputData(j_decompress_ptr info, long count) {
  auto* manager = reinterpret_cast<SourceManager*>(info->src);
  if (count <= 0) return;
  const auto skip = static_cast<std::size_t>(count);
  if (skip <= manager->library.bytes_in_buffer) {
    manager->library.next_input_byte += skip;
    manager->library.bytes_in_buffer -= skip;
    return;
  }
  manager->offset += skip - manager->library.bytes_in_buffer;
  manager->library.next_input_byte = manager->buffer;
  manager->library.bytes_in_buffer = 0;
}

// libjpeg-turbo stops at the first start of scan, after every header, and only then applies two
// limits of its own build: 8-bit samples and at most 65,500 pixels each way. A file that fails
// only those may be a sound JPEG whose facts are known; whether its precision is one its frame
// may have is checked afterwards, and the system's own limits decide about the rest. The checks
// libjpeg would have made after them are made here instead.
bool failedOnlyLibraryLimits(const jpeg_decompress_struct& info, int code) {
  if (code != JERR_BAD_PRECISION && code != JERR_IMAGE_TOO_BIG) return false;
  if (info.comps_in_scan <= 0 || info.comp_info == nullptr) return false;
  if (info.num_components <= 0 || info.num_components > MAX_COMPONENTS) return false;
  for (int i = 0; i < info.num_components; ++i) {
    const jpeg_component_info& component = info.comp_info[i];
    if (component.h_samp_factor <= 0 || component.h_samp_factor > MAX_SAMP_FACTOR ||
        component.v_samp_factor <= 0 || component.v_samp_factor > MAX_SAMP_FACTOR) {
      return false;
    }
  }
  return true;
}

struct JpegFields {
  std::uint64_t width;
  std::uint64_t height;
  std::uint64_t precision;
  int frameMarker;
};
static_assert(std::is_trivially_destructible_v<JpegFields>);

// The only function with setjmp. `info` outlives it and is destroyed by the caller.
bool readHeaderFields(jpeg_decompress_struct& info, ErrorManager& errors, SourceManager& source,
                      JpegFields& fields) {
  info.err = jpeg_std_error(&errors.library);
  errors.library.error_exit = exitOnError;
  errors.library.emit_message = noteMessage;
  errors.library.output_message = ignoreOutput;

  if (setjmp(errors.jump) != 0) {
    if (!failedOnlyLibraryLimits(info, errors.library.msg_code)) return false;
  } else {
    jpeg_create_decompress(&info);
    source.library.init_source = initSource;
    source.library.fill_input_buffer = fillInputBuffer;
    source.library.skip_input_data = skipInputData;
    source.library.resync_to_restart = jpeg_resync_to_restart;
    source.library.term_source = termSource;
    source.library.next_input_byte = nullptr;
    source.library.bytes_in_buffer = 0;
    info.src = &source.library;
    // Reads the markers up to the first scan; no pixel is decoded.
    jpeg_read_header(&info, TRUE);
  }
  fields.width = info.image_width;
  fields.height = info.image_height;
  fields.precision = static_cast<std::uint64_t>(info.data_precision);
  fields.frameMarker = errors.frameMarker;
  return true;
}

// The sample precisions each kind of frame may declare: baseline frames carry 8-bit samples,
// extended and progressive ones (Huffman or arithmetic coded) 8 or 12. libjpeg itself only
// compares the precision with the one it was built for, so a baseline frame claiming 16 bits
// would otherwise pass as a mere limit of the library. Lossless and hierarchical frames never get
// here: this libjpeg refuses them while reading the markers.
bool precisionFitsFrame(int frameMarker, std::uint64_t precision) {
  switch (frameMarker) {
    case 0xC0:  // baseline
      return precision == 8;
    case 0xC1:  // extended, Huffman
    case 0xC2:  // progressive, Huffman
    case 0xC9:  // extended, arithmetic
    case 0xCA:  // progressive, arithmetic
      return precision == 8 || precision == 12;
    default:
      return false;
  }
}

class Decompressor {
 public:
  // Zeroed, so destroying it is safe even when jpeg_create_decompress failed half-way.
  jpeg_decompress_struct info{};
  Decompressor() = default;
  Decompressor(const Decompressor&) = delete;
  Decompressor& operator=(const Decompressor&) = delete;
  ~Decompressor() { jpeg_destroy_decompress(&info); }
};

}  // namespace

std::optional<HeaderFacts> readJpegHeader(ByteSource& source) {
  // The error and source managers are declared first so that they outlive the decompressor
  // that points at them. The source manager carries its own read buffer, on the heap.
  ErrorManager errors{};
  auto manager = std::make_unique<SourceManager>();
  manager->source = &source;
  manager->offset = 0;
  Decompressor decompressor;
  JpegFields fields{};
  if (!readHeaderFields(decompressor.info, errors, *manager, fields)) return std::nullopt;
  if (!precisionFitsFrame(fields.frameMarker, fields.precision)) return std::nullopt;
  // A JPEG file holds one image.
  return HeaderFacts{1, fields.width, fields.height, fields.precision};
}

}  // namespace quillmere::inspect
