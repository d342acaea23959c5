#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>

namespace quillmere::pictures {

// `size` reduced to fit `box` with its aspect kept, never enlarged.
QSize fitted(QSize size, QSize box);
// Whether a picture of `size` shows the whole of an image of `full` without bars or a crop: the
// same aspect, give or take the pixel each side a reduction rounds to.
bool sameAspect(QSize size, QSize full);
// The box a picture stored on its side must fit before it is turned upright.
QSize storedBox(QSize box, int orientation);
// The picture turned upright from how it is stored, for the orientations TIFF and EXIF number 1 to
// 8 (where the stored first row and column belong on screen).
QImage upright(const QImage& image, int orientation);
// sRGB, the screen's colour space as far as the window knows it.
QImage inSrgb(QImage image);
// For the ICC profiles Qt cannot apply (lookup tables rather than a matrix and curves), through
// LittleCMS; a profile neither understands leaves the picture as it is, taken for sRGB.
QImage inSrgbByLittleCms(const QImage& image, const QByteArray& icc);
// The picture at its final size, in sRGB, in a format the table draws without converting again.
// `fullSize` is the size of the image `image` was reduced from, when its reduction rounded.
QImage finish(const QImage& decoded, QSize box, QSize fullSize = {});
// Builds the colour conversions' fixed parts now, while the process may still open files.
void loadColourConversions();

}  // namespace quillmere::pictures
