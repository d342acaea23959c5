// TIFF headers through libtiff 4.5. Diagnostics go to handlers installed on this one open file
// (TIFFClientOpenExt), never to the process-wide ones: another thread may be reading a TIFF at the
// same moment, and the process-wide default prints to standard error.
#include <tiffio.h>

#include <array>
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
// by libtiff rather than read into memory. The total is bounded by declaredDataWithinBound.
constexpr tmsize_t kLargestTiffAllocation = static_cast<tmsize_t>(kLargestHeaderData);

// Bytes of one value of each TIFF field type (TIFF 6.0 and BigTIFF); 0 for types libtiff does not
// know, whose values it skips.
std::uint64_t typeSize(std::uint16_t type) {
  switch (type) {
    case 1:  // BYTE
    case 2:  // ASCII
    case 6:  // SBYTE
    case 7:  // UNDEFINED
      return 1;
    case 3:  // SHORT
    case 8:  // SSHORT
      return 2;
    case 4:   // LONG
    case 9:   // SLONG
    case 11:  // FLOAT
    case 13:  // IFD
      return 4;
    case 5:   // RATIONAL
    case 10:  // SRATIONAL
    case 12:  // DOUBLE
    case 16:  // LONG8
    case 17:  // SLONG8
    case 18:  // IFD8
      return 8;
    default:
      return 0;
  }
}

// Unsigned integers of the file's byte order, read at offsets; a read past the end fails.
class FieldReader {
 public:
  FieldReader(ByteSource& source, bool bigEndian) : m_source(source), m_bigEndian(bigEndian) {}

  std::optional<std::uint64_t> read(std::uint64_t offset, std::size_t size) {
    std::array<std::byte, 8> bytes{};
    if (offset > UINT64_MAX - size ||
        m_source.readAt(offset, std::span(bytes).first(size)) != size) {
      return std::nullopt;
    }
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) {
      const std::size_t at = m_bigEndian ? i : size - 1 - i;
      value = (value << 8) | std::to_integer<std::uint64_t>(bytes[at]);
    }
    return value;
  }

 private:
  ByteSource& m_source;
  bool m_bigEndian;
};

// libtiff reads every tag of a directory into memory and keeps it while the file is open, each
// value only bounded by the per-allocation limit above: forty private tags of 16 MiB that all
// point at the same 16 MiB of the file would cost 640 MiB. So before libtiff opens the file, the
// first directory (the only one it reads: whether another one follows is told by the next
// offset alone) is walked here, in either byte order, classic or BigTIFF, and the sizes of its
// entries and of the values they store outside them are added up. More than the bound is
// refused. A directory that cannot be read whole is left to libtiff, which refuses it; entries
// it cannot read cost nothing.
bool declaredDataWithinBound(ByteSource& source) {
  std::array<std::byte, 2> order{};
  if (source.readAt(0, order) != order.size()) return true;
  FieldReader field(source, order[0] == std::byte{'M'});
  const std::optional<std::uint64_t> version = field.read(2, 2);
  if (!version || (*version != 42 && *version != 43)) return true;
  const bool bigTiff = *version == 43;
  // Classic: 2-byte entry count, 12-byte entries (tag, type, 4-byte count, 4-byte value field).
  // BigTIFF: 8-byte entry count, 20-byte entries (8-byte count, 8-byte value field).
  const std::size_t countSize = bigTiff ? 8 : 2;
  const std::size_t entrySize = bigTiff ? 20 : 12;
  const std::size_t valueCountSize = bigTiff ? 8 : 4;
  const std::size_t valueFieldSize = bigTiff ? 8 : 4;

  const std::optional<std::uint64_t> directory = bigTiff ? field.read(8, 8) : field.read(4, 4);
  if (!directory) return true;
  const std::optional<std::uint64_t> entries = field.read(*directory, countSize);
  if (!entries) return true;
  if (*entries > kLargestHeaderData / entrySize) return false;
  std::uint64_t declared = *entries * entrySize;
  for (std::uint64_t i = 0; i < *entries; ++i) {
    const std::uint64_t entry = *directory + countSize + i * entrySize;
    const std::optional<std::uint64_t> type = field.read(entry + 2, 2);
    const std::optional<std::uint64_t> count = field.read(entry + 4, valueCountSize);
    if (!type || !count) break;
    const std::uint64_t size = typeSize(static_cast<std::uint16_t>(*type));
    if (size == 0) continue;
    if (*count > kLargestHeaderData / size) return false;  // and count * size cannot overflow
    if (*count * size <= valueFieldSize) continue;         // stored in the entry itself
    declared += *count * size;
    if (declared > kLargestHeaderData) return false;
  }
  return true;
}

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
  if (!declaredDataWithinBound(source)) return std::nullopt;

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
