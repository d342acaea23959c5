#include "thumbnail/qt_pictures.h"

#include <QByteArray>
#include <QColorSpace>
#include <algorithm>
#include <array>

#include "thumbnail/upright_srgb.h"

namespace quillmere::pictures {

namespace {

// A JPEG decoded in several scans (progressive, or sequential with one scan per component) keeps
// every DCT coefficient of the whole image until its last scan, 2 bytes per sample, however much
// it is reduced while decoding; this is the most those may take.
constexpr qint64 kMaxCoefficientBytes = qint64{256} << 20;
// Qt's widest pixel format, 16-bit RGBA, for readers that do not say what they will give.
constexpr qint64 kMaxBytesPerPixel = 8;


}  // namespace

qint64 multiScanJpegCoefficientBytes(const QByteArray& head) {
  const auto byte = [&](qsizetype at) { return static_cast<unsigned char>(head[at]); };
  if (head.size() < 4 || byte(0) != 0xFF || byte(1) != 0xD8) return 0;
  qint64 samples = 0;  // per frame, all components, at their own sampling
  int frameComponents = 0;
  bool progressive = false;
  for (qsizetype at = 2; at + 4 <= head.size();) {
    if (byte(at) != 0xFF) return 0;
    const int marker = byte(at + 1);
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    const int length = byte(at + 2) << 8 | byte(at + 3);
    if (length < 2) return 0;
    const bool frame =
        marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (frame && at + 10 <= head.size()) {
      progressive = marker == 0xC2 || marker == 0xC6 || marker == 0xCA || marker == 0xCE;
      const qint64 height = byte(at + 5) << 8 | byte(at + 6);
      const qint64 width = byte(at + 7) << 8 | byte(at + 8);
      frameComponents = byte(at + 9);
      int maxH = 1, maxV = 1;
      for (int c = 0; c < frameComponents && at + 12 + 3 * c <= head.size(); ++c) {
        const int sampling = byte(at + 11 + 3 * c);
        maxH = std::max(maxH, sampling >> 4);
        maxV = std::max(maxV, sampling & 0x0F);
      }
      for (int c = 0; c < frameComponents && at + 12 + 3 * c <= head.size(); ++c) {
        const int sampling = byte(at + 11 + 3 * c);
        const qint64 h = std::max(1, sampling >> 4), v = std::max(1, sampling & 0x0F);
        samples += (width * h / maxH + 8) * (height * v / maxV + 8);
      }
    }
    if (marker == 0xDA) {  // the first scan: all components at once, or one pass of several
      const bool severalScans =
          progressive || (at + 4 < head.size() && byte(at + 4) < frameComponents);
      return severalScans ? samples * 2 : 0;
    }
    at += 2 + length;
  }
  return progressive ? samples * 2 : 0;
}

bool isOrdinaryImage(std::string_view head) {
  using namespace std::string_view_literals;
  constexpr std::array kSignatures{"\xFF\xD8\xFF"sv, "\x89PNG"sv, "GIF8"sv,
                                   "BM"sv,           "RIFF"sv,    "\0\0\1\0"sv};
  return std::any_of(kSignatures.begin(), kSignatures.end(), [head](std::string_view signature) {
    return head.substr(0, signature.size()) == signature;
  });
}

QImage readReduced(QImageReader& reader, QSize box, const Deadline& deadline,
                   int rawOrientation) {
  const bool ownOrientation = rawOrientation == 0;
  reader.setAutoTransform(ownOrientation);
  const QSize size = reader.size();
  if (!size.isValid() || size.isEmpty()) return {};
  // The reader reduces the picture as stored, before turning it.
  const bool onItsSide =
      ownOrientation ? reader.transformation().testFlag(QImageIOHandler::TransformationRotate90)
                     : storedBox(box, rawOrientation) != box;
  // Qt's readers that scale after decoding (PNG) would scale a picture held as a colour table
  // back into its few colours, dithered; such pictures are small at full size and are reduced by
  // finish() instead.
  const QImage::Format format = reader.imageFormat();
  const bool colourTable = format == QImage::Format_Mono || format == QImage::Format_MonoLSB ||
                           format == QImage::Format_Indexed8;
  if (reader.supportsOption(QImageIOHandler::ScaledSize) && !colourTable) {
    // libjpeg scales while decoding (by 1/2, 1/4 or 1/8): the full image is never held.
    reader.setScaledSize(fitted(size, onItsSide ? box.transposed() : box));
  } else {
    const int depth = QImage::toPixelFormat(format).bitsPerPixel();
    const qint64 bytesPerPixel = depth > 0 ? (depth + 7) / 8 : kMaxBytesPerPixel;
    if (qint64{size.width()} * size.height() * bytesPerPixel > kMaxFullDecodeBytes) return {};
  }
  if (deadline.passed()) return {};
  QImage image;
  if (!reader.read(&image) || deadline.passed()) return {};
  if (!ownOrientation) {
    // A raw preview is shown as sRGB, whatever its bytes carry.
    image.setColorSpace(QColorSpace());
    image = upright(image, rawOrientation);
  }
  return finish(image, box);
}

QImage readWithQt(QIODevice& device, QSize box, const Deadline& deadline) {
  // A small file can declare a huge picture; libjpeg would hold its coefficients whole.
  if (multiScanJpegCoefficientBytes(device.peek(64 << 10)) > kMaxCoefficientBytes) return {};
  QImageReader reader(&device);
  reader.setDecideFormatFromContent(true);
  return readReduced(reader, box, deadline);
}

}  // namespace quillmere::pictures
