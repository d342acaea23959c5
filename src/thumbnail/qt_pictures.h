#pragma once

#include <QIODevice>
#include <QImage>
#include <QImageReader>
#include <QSize>
#include <string_view>

#include "thumbnail/decode_limits.h"

namespace quillmere::pictures {

// Formats Qt reads well and no raw format starts like: they skip LibRaw.
bool isOrdinaryImage(std::string_view head);
// Read reduced where the reader can, upright by the orientation the file records or, for a raw
// preview (whose own bytes rarely say), by `rawOrientation`, the one LibRaw found for the shot.
QImage readReduced(QImageReader& reader, QSize box, const Deadline& deadline,
                   int rawOrientation = 0);
// The coefficient memory a JPEG needs when libjpeg must buffer the whole image (several scans),
// from its frame and first scan headers; 0 when it decodes in one pass, or is no JPEG at all.
// Reads only what `head` holds of the file's start.
qint64 multiScanJpegCoefficientBytes(const QByteArray& head);
// JPEG, PNG and the other formats Qt's readers know, from the device's current position.
QImage readWithQt(QIODevice& device, QSize box, const Deadline& deadline);

}  // namespace quillmere::pictures
