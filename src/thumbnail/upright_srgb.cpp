#include "thumbnail/upright_srgb.h"

#include <lcms2.h>

#include <QColorSpace>
#include <QTransform>
#include <algorithm>
#include <cstdlib>

namespace quillmere::pictures {

QSize fitted(QSize size, QSize box) {
  if (size.width() <= box.width() && size.height() <= box.height()) return size;
  return size.scaled(box, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
}

bool sameAspect(QSize size, QSize full) {
  if (size.isEmpty() || full.isEmpty()) return false;
  // Compared as products, so no division rounds: a pixel more or less on either side of `size`
  // moves them apart by the whole image's other side, and a hundredth more is allowed besides.
  const qint64 widthAsScaled = qint64{full.width()} * size.height();
  const qint64 heightAsScaled = qint64{full.height()} * size.width();
  const qint64 slack =
      full.width() + full.height() + std::max(widthAsScaled, heightAsScaled) / 100;
  return std::abs(widthAsScaled - heightAsScaled) <= slack;
}

QSize storedBox(QSize box, int orientation) {
  return orientation >= 5 && orientation <= 8 ? box.transposed() : box;
}

QImage upright(const QImage& image, int orientation) {
  const auto turned = [&image](qreal degrees) {
    // Multiples of 90 degrees are moved pixel for pixel, never resampled.
    return image.transformed(QTransform().rotate(degrees));
  };
  switch (orientation) {
    case 2:
      return image.mirrored(true, false);
    case 3:
      return image.mirrored(true, true);
    case 4:
      return image.mirrored(false, true);
    case 5:
      return turned(90).mirrored(true, false);
    case 6:
      return turned(90);
    case 7:
      return turned(90).mirrored(false, true);
    case 8:
      return turned(270);
    default:
      return image;
  }
}

QImage inSrgb(QImage image) {
  const QColorSpace space = image.colorSpace();
  if (!space.isValid() || space == QColorSpace(QColorSpace::SRgb)) return image;
  image.convertToColorSpace(QColorSpace::SRgb);
  return image;
}

QImage finish(const QImage& decoded, QSize box, QSize fullSize) {
  if (decoded.isNull()) return {};
  const QColorSpace space = decoded.colorSpace();
  // Qt scales indexed and one-bit pictures back into their few colours, dithered: a one-colour
  // PNG of a clear sky came out as a black and white chequer. Their pixels go to 32 bits first.
  const QImage image =
      decoded.depth() >= 24 && decoded.colorCount() == 0
          ? decoded
          : decoded.convertToFormat(decoded.hasAlphaChannel() ? QImage::Format_ARGB32
                                                              : QImage::Format_RGB32);
  const QSize size = fitted(fullSize.isValid() ? fullSize : image.size(), box);
  QImage small = image.size() == size
                     ? image
                     : image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  // Converted after reducing: the same colours for a fraction of the work.
  if (space.isValid()) small.setColorSpace(space);
  small = inSrgb(std::move(small));
  return small.convertToFormat(small.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied
                                                       : QImage::Format_RGB32);
}

namespace {

struct LittleCmsProfile {
  cmsHPROFILE handle;
  ~LittleCmsProfile() {
    if (handle != nullptr) cmsCloseProfile(handle);
  }
};

}  // namespace

QImage inSrgbByLittleCms(const QImage& image, const QByteArray& icc) {
  const LittleCmsProfile source{
      cmsOpenProfileFromMem(icc.constData(), static_cast<cmsUInt32Number>(icc.size()))};
  if (source.handle == nullptr || cmsGetColorSpace(source.handle) != cmsSigRgbData) return image;
  const LittleCmsProfile srgb{cmsCreate_sRGBProfile()};
  if (srgb.handle == nullptr) return image;
  const cmsHTRANSFORM transform = cmsCreateTransform(
      source.handle, TYPE_RGBA_8, srgb.handle, TYPE_RGBA_8, INTENT_PERCEPTUAL, cmsFLAGS_COPY_ALPHA);
  if (transform == nullptr) return image;
  QImage converted = image.convertToFormat(QImage::Format_RGBA8888);
  for (int y = 0; y < converted.height(); ++y) {
    cmsDoTransform(transform, converted.scanLine(y), converted.scanLine(y),
                   static_cast<cmsUInt32Number>(converted.width()));
  }
  cmsDeleteTransform(transform);
  return converted;
}

void loadColourConversions() {
  const QColorSpace srgb(QColorSpace::SRgb);
  const LittleCmsProfile littleCmsSrgb{cmsCreate_sRGBProfile()};
}

}  // namespace quillmere::pictures
