// TIFF headers through libtiff 4.5. Diagnostics go to handlers installed on this one open file
// (TIFFClientOpenExt), never to the process-wide ones: another thread may be reading a TIFF at the
// same moment, and the process-wide default prints to standard error.
#include <tiffio.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <span>

#include "inspect/image_headers.h"

namespace quillmere::inspect {
namespace {

// libtiff reads the whole first directory, tags it does not need included. No single value it
// allocates for may exceed this; a larger tag (a huge private blob, or a bogus count) is skipped
// by libtiff rather than read into memory.
constexpr tmsize_t kLargestTiffAllocation = 64 * 1024 * 1024;

struct Client {
  ByteSource* source;
  std::uint64_t position;
};

tmsize_t readProc(thandle_t handle, void* data, tmsize_t size) {
  auto* client = static_cast<Client*>(handle);
  if (size <= 0) return 0;
  const std::size_t count = client->source->readAt(
      client->position, std::span(static_cast<std::byte*>(data), static_cast<std::size_t>(size)));
  client->position += count;
  return static_cast<tmsize_t>(count);
}

tmsize_t writeProc(thandle_t, void*, tmsize_t) { return -1; }  // read-only

toff_t seekProc(thandle_t handle, toff_t offset, int whence) {
  auto* client = static_cast<Client*>(handle);
  std::uint64_t base = 0;
  switch (whence) {
    case SEEK_SET:
      base = 0;
      break;
    case SEEK_CUR:
      base = client->position;
      break;
    case SEEK_END:
      base = client->source->size();
      break;
    default:
      return static_cast<toff_t>(-1);
  }
  // Offsets come from the file and may be anything; positions past the end are allowed (reads
  // there return nothing), wrapping around is not.
  if (offset > UINT64_MAX - base) return static_cast<toff_t>(-1);
  client->position = base + offset;
  return client->position;
}

int closeProc(thandle_t) { return 0; }
toff_t sizeProc(thandle_t handle) { return static_cast<Client*>(handle)->source->size(); }
int mapProc(thandle_t, void**, toff_t*) { return 0; }
void unmapProc(thandle_t, void*, toff_t) {}

// Returning 1 tells libtiff the message was handled, so it never reaches the process-wide handler.
// Errors need no record: libtiff reports every one that matters through its return values.
int ignoreMessage(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct OptionsDeleter {
  void operator()(TIFFOpenOptions* options) const noexcept { TIFFOpenOptionsFree(options); }
};
struct TiffCloser {
  void operator()(TIFF* tiff) const noexcept { TIFFClose(tiff); }
};

}  // namespace

std::optional<HeaderFacts> readTiffHeader(ByteSource& source) {
  Client client{&source, 0};

  std::unique_ptr<TIFFOpenOptions, OptionsDeleter> options(TIFFOpenOptionsAlloc());
  if (!options) throw std::bad_alloc();
  TIFFOpenOptionsSetErrorHandlerExtR(options.get(), ignoreMessage, nullptr);
  TIFFOpenOptionsSetWarningHandlerExtR(options.get(), ignoreMessage, nullptr);
  TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), kLargestTiffAllocation);

  // "r": read only; "m": never map (every read goes through the ByteSource); "c": do not split a
  // single uncompressed strip into many, which would allocate tables sized by the claimed image;
  // "O": load strip and tile tables only on demand, which here means never.
  std::unique_ptr<TIFF, TiffCloser> tiff(TIFFClientOpenExt("render", "rmcO", &client, readProc,
                                                           writeProc, seekProc, closeProc, sizeProc,
                                                           mapProc, unmapProc, options.get()));
  if (!tiff) return std::nullopt;

  std::uint32_t width = 0;
  std::uint32_t height = 0;
  if (TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &width) != 1 ||
      TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &height) != 1) {
    return std::nullopt;
  }
  // Bits per sample as the TIFF format defines it: a directory without the tag holds 1-bit
  // (bilevel) samples, and that is what it reports, not the 8 assumed for formats that state
  // no depth at all.
  std::uint16_t bitsPerSample = 1;
  TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_BITSPERSAMPLE, &bitsPerSample);

  // Pages are the directories of the main chain. The file holds exactly one image when its first
  // directory ends the chain. Anything else (a second page, a link back into the chain, an offset
  // into nowhere) means it does not, and the chain is not walked any further: it may be long or
  // hostile, and the answer would be the same refusal.
  const std::uint64_t images = TIFFLastDirectory(tiff.get()) != 0 ? 1 : 2;

  return HeaderFacts{images, width, height, bitsPerSample};
}

}  // namespace quillmere::inspect
