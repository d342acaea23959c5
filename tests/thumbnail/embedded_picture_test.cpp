#include <gtest/gtest.h>
#include <tiffio.h>

#include <QColor>
#include <QColorSpace>
#include <QImage>
#include <QTransform>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "exif_fixture.h"
#include "support/sanitized.h"
#include "support/temp_dir.h"
#include "thumbnail/thumbnail.h"

namespace quillmere {
namespace {

using testing::ExifClaims;
using testing::filled;
using testing::jpegOf;
using testing::TempDir;
using testing::quarters;
using testing::storedAs;
using testing::withExifThumbnail;
using testing::writeFile;

// The table's box in device pixels; a 3:2 photo fits it as 48 x 32.
const QSize kBox(64, 32);
#ifdef QUILLMERE_SANITIZED
constexpr std::chrono::milliseconds kTimeLimit = 10 * kThumbnailTimeLimit;
#else
constexpr std::chrono::milliseconds kTimeLimit = kThumbnailTimeLimit;
#endif

// The whole image is red, every embedded picture green (or blue): which one a picture was made
// from shows in its colour.
const QColor kWhole(220, 20, 20);
const QColor kEmbedded(20, 200, 20);
const QColor kOther(20, 20, 220);

constexpr auto kEmbeddedAllowed = PictureSource::embeddedWhereLargeEnough;

bool near(QColor got, QColor want, int tolerance = 40) {
  return std::abs(got.red() - want.red()) <= tolerance &&
         std::abs(got.green() - want.green()) <= tolerance &&
         std::abs(got.blue() - want.blue()) <= tolerance;
}

QColor centre(const QImage& picture) {
  return picture.pixelColor(picture.width() / 2, picture.height() / 2);
}

// The picture of `bytes` both as the worker makes it (an open file) and from memory; the two ways
// must agree.
QImage pictureOf(const std::string& bytes, PictureSource source, QSize box = kBox) {
  TempDir dir;
  const std::string path = dir.path() + "/picture";
  writeFile(path, bytes);
  const QImage fromFile = makeThumbnail(path, box, kTimeLimit, source);
  const QImage fromMemory =
      makeThumbnail(std::as_bytes(std::span(bytes.data(), bytes.size())), box, kTimeLimit, source);
  EXPECT_EQ(fromFile.size(), fromMemory.size());
  if (!fromFile.isNull() && !fromMemory.isNull()) {
    EXPECT_TRUE(near(centre(fromFile), centre(fromMemory), 2));
  }
  return fromFile;
}

// A JPEG thumbnail of `width` x `height` whose frame claims another size.
std::string withClaimedSize(std::string jpeg, int width, int height) {
  for (std::size_t at = 2; at + 9 < jpeg.size(); ++at) {
    if (static_cast<unsigned char>(jpeg[at]) == 0xFF &&
        static_cast<unsigned char>(jpeg[at + 1]) == 0xC0) {
      jpeg[at + 5] = static_cast<char>(height >> 8);
      jpeg[at + 6] = static_cast<char>(height & 0xFF);
      jpeg[at + 7] = static_cast<char>(width >> 8);
      jpeg[at + 8] = static_cast<char>(width & 0xFF);
      break;
    }
  }
  return jpeg;
}

// Green with grain, so that most of its JPEG is scan data rather than tables.
QImage grainyGreen(int width, int height) {
  QImage image(width, height, QImage::Format_RGB32);
  std::uint32_t seed = 1;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      seed = seed * 1103515245 + 12345;
      const int grain = static_cast<int>(seed >> 16 & 0x1F) - 16;
      image.setPixelColor(x, y, QColor(kEmbedded.red() + grain, kEmbedded.green() + grain,
                                       kEmbedded.blue() + grain));
    }
  }
  return image;
}

struct ExifCase {
  const char* name;
  std::function<std::string()> thumbnail;
  ExifClaims claims;
  QColor expected;
};

// A 3:2 photo of 600 x 400 with its EXIF thumbnail: taken where it is a sound JPEG of the photo's
// aspect at least 48 x 32; otherwise the whole image is decoded, and the picture is the same size
// either way.
TEST(EmbeddedPictures, AJpegsExifThumbnailServesWhereItIsSoundAndLargeEnough) {
  const std::string whole = jpegOf(filled(600, 400, kWhole));
  const std::string thumbnail = jpegOf(filled(150, 100, kEmbedded));
  const ExifCase cases[] = {
      {"large enough", [&] { return thumbnail; }, {}, kEmbedded},
      {"exactly the box", [] { return jpegOf(filled(48, 32, kEmbedded)); }, {}, kEmbedded},
      {"a rounded 3:2", [] { return jpegOf(filled(160, 107, kEmbedded)); }, {}, kEmbedded},
      {"too small", [] { return jpegOf(filled(45, 30, kEmbedded)); }, {}, kWhole},
      {"4:3 with bars", [] { return jpegOf(filled(160, 120, kEmbedded)); }, {}, kWhole},
      {"offset past the segment", [&] { return thumbnail; }, {60000, std::nullopt}, kWhole},
      {"length past the segment", [&] { return thumbnail; }, {std::nullopt, 0xFFFFFF00}, kWhole},
      {"length short of the picture",
       [&] { return thumbnail; },
       {std::nullopt, static_cast<std::uint32_t>(thumbnail.size() / 2)},
       kWhole},
      {"not a JPEG", [] { return std::string(2000, 'x'); }, {}, kWhole},
      // Cut in its scan, where libjpeg fills what is missing with grey and calls it read.
      {"cut short",
       [] {
         const std::string grainy = jpegOf(grainyGreen(150, 100));
         return grainy.substr(0, grainy.size() * 2 / 5);
       },
       {},
       kWhole},
      {"claims a huge frame", [&] { return withClaimedSize(thumbnail, 30000, 20000); }, {}, kWhole},
      {"claims a tiny frame", [&] { return withClaimedSize(thumbnail, 3, 2); }, {}, kWhole},
  };
  for (const ExifCase& c : cases) {
    SCOPED_TRACE(c.name);
    const QImage picture =
        pictureOf(withExifThumbnail(whole, c.thumbnail(), 1, c.claims), kEmbeddedAllowed);
    ASSERT_FALSE(picture.isNull());
    EXPECT_EQ(picture.size(), QSize(48, 32));
    EXPECT_TRUE(near(centre(picture), c.expected)) << centre(picture).name().toStdString();
  }
}

// The comparison view asks for the whole image, and a box larger than every embedded picture
// gets it too: an embedded thumbnail is never enlarged.
TEST(EmbeddedPictures, TheWholeImageIsDecodedWhereAskedForOrWhereTheBoxIsLarge) {
  const std::string file = withExifThumbnail(jpegOf(filled(600, 400, kWhole)),
                                             jpegOf(filled(150, 100, kEmbedded)));
  const struct {
    const char* name;
    PictureSource source;
    QSize box;
    QSize expected;
  } cases[] = {
      {"the comparison's kind", PictureSource::wholeImage, kBox, QSize(48, 32)},
      {"a box the thumbnail would not fill", kEmbeddedAllowed, QSize(400, 400), QSize(400, 266)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const QImage picture = pictureOf(file, c.source, c.box);
    EXPECT_EQ(picture.size(), c.expected);
    EXPECT_TRUE(near(centre(picture), kWhole)) << centre(picture).name().toStdString();
  }
}

// A camera stores the thumbnail as it stores the photo, and IFD0's orientation turns both: the
// thumbnail's picture comes out upright, at the size the upright photo fits the box.
TEST(EmbeddedPictures, AnExifThumbnailIsTurnedByThePhotosOrientation) {
  const QImage upright = quarters();
  for (int orientation = 1; orientation <= 8; ++orientation) {
    SCOPED_TRACE(::testing::Message() << "orientation " << orientation);
    const QImage stored = storedAs(upright, orientation);
    const std::string whole =
        jpegOf(filled(stored.width() * 5, stored.height() * 5, kWhole));
    const QImage picture =
        pictureOf(withExifThumbnail(whole, jpegOf(stored, 95), orientation), kEmbeddedAllowed);
    ASSERT_EQ(picture.size(), QSize(48, 32));
    for (const QPointF at :
         {QPointF(0.25, 0.25), QPointF(0.75, 0.25), QPointF(0.25, 0.75), QPointF(0.75, 0.75)}) {
      const QColor got =
          picture.pixelColor(int(at.x() * picture.width()), int(at.y() * picture.height()));
      const QColor want =
          upright.pixelColor(int(at.x() * upright.width()), int(at.y() * upright.height()));
      EXPECT_TRUE(near(got, want)) << "at " << at.x() << "," << at.y() << ": "
                                   << got.name().toStdString();
    }
  }
}

// An EXIF thumbnail carries no profile of its own; it is made from the photo's pixels, in the
// photo's colour space, so the photo's profile converts it: the same colours as the whole image.
TEST(EmbeddedPictures, AnExifThumbnailTakesThePhotosProfile) {
  const QColor patch(116, 199, 207);
  QImage wide = filled(600, 400, patch);
  wide.setColorSpace(QColorSpace(QColorSpace::AdobeRgb));
  QImage wideThumbnail = filled(150, 100, patch);
  const std::string file = withExifThumbnail(jpegOf(wide, 95), jpegOf(wideThumbnail, 95));
  const QColor whole = centre(pictureOf(file, PictureSource::wholeImage));
  const QColor embedded = centre(pictureOf(file, kEmbeddedAllowed));
  // The profile matters: its numbers are another colour in sRGB.
  ASSERT_FALSE(near(whole, patch, 10)) << whole.name().toStdString();
  EXPECT_TRUE(near(embedded, whole, 6))
      << embedded.name().toStdString() << " against " << whole.name().toStdString();
}

// --- TIFF

struct TiffImage {
  QSize size;
  QColor colour;
  std::uint32_t subfileType = FILETYPE_REDUCEDIMAGE;
};

// Writes one 8-bit RGB image of one colour as the current directory.
bool writeImage(TIFF* tiff, const TiffImage& image, int orientation) {
  const auto width = static_cast<std::uint32_t>(image.size.width());
  const auto height = static_cast<std::uint32_t>(image.size.height());
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 16);
  if (orientation != 0) TIFFSetField(tiff, TIFFTAG_ORIENTATION, orientation);
  std::vector<unsigned char> row;
  for (std::uint32_t x = 0; x < width; ++x) {
    row.push_back(static_cast<unsigned char>(image.colour.red()));
    row.push_back(static_cast<unsigned char>(image.colour.green()));
    row.push_back(static_cast<unsigned char>(image.colour.blue()));
  }
  for (std::uint32_t y = 0; y < height; ++y) {
    if (TIFFWriteScanline(tiff, row.data(), y, 0) != 1) return false;
  }
  return TIFFWriteDirectory(tiff) == 1;
}

// A red TIFF of `fullSize` followed by `reduced` images, each in the file's chain or as SubIFDs
// of the first.
std::string tiffWith(QSize fullSize, const std::vector<TiffImage>& reduced, bool asSubIfds,
                     int orientation = 0) {
  TempDir dir;
  const std::string path = dir.path() + "/made.tif";
  TIFF* tiff = TIFFOpen(path.c_str(), "w");
  if (tiff == nullptr) return {};
  bool written = true;
  if (asSubIfds && !reduced.empty()) {
    const std::vector<toff_t> placeholders(reduced.size(), 0);
    TIFFSetField(tiff, TIFFTAG_SUBIFD, static_cast<std::uint16_t>(reduced.size()),
                 placeholders.data());
  }
  written = writeImage(tiff, {fullSize, kWhole, 0}, orientation) && written;
  for (const TiffImage& image : reduced) {
    TIFFSetField(tiff, TIFFTAG_SUBFILETYPE, image.subfileType);
    written = writeImage(tiff, image, 0) && written;
  }
  TIFFClose(tiff);
  EXPECT_TRUE(written);
  return testing::readFile(path);
}

// A TIFF's reduced-resolution images: the smallest that is large enough and of the photo's aspect
// serves, in the chain or as a SubIFD; pages that are no reduction, and reductions too small or
// of another aspect, leave the whole image to be read.
TEST(EmbeddedPictures, ATiffsSmallestSufficientReducedImageServes) {
  const QSize full(600, 400);
  const struct {
    const char* name;
    std::vector<TiffImage> reduced;
    QColor expected;
  } cases[] = {
      {"large enough", {{{150, 100}, kEmbedded}}, kEmbedded},
      {"too small", {{{45, 30}, kEmbedded}}, kWhole},
      {"4:3", {{{160, 120}, kEmbedded}}, kWhole},
      {"another page, not a reduction", {{{150, 100}, kEmbedded, 0}}, kWhole},
      {"a transparency mask", {{{150, 100}, kEmbedded, FILETYPE_REDUCEDIMAGE | FILETYPE_MASK}},
       kWhole},
      {"the smaller of two", {{{300, 200}, kOther}, {{150, 100}, kEmbedded}}, kEmbedded},
      {"the one large enough", {{{30, 20}, kOther}, {{150, 100}, kEmbedded}}, kEmbedded},
  };
  for (const auto& c : cases) {
    for (const bool asSubIfds : {false, true}) {
      SCOPED_TRACE(::testing::Message() << c.name << (asSubIfds ? ", SubIFDs" : ", chain"));
      const std::string file = tiffWith(full, c.reduced, asSubIfds);
      const QImage picture = pictureOf(file, kEmbeddedAllowed);
      ASSERT_FALSE(picture.isNull());
      EXPECT_EQ(picture.size(), QSize(48, 32));
      EXPECT_TRUE(near(centre(picture), c.expected)) << centre(picture).name().toStdString();
      EXPECT_TRUE(near(centre(pictureOf(file, PictureSource::wholeImage)), kWhole));
    }
  }
}

// A reduced image without an orientation of its own is turned as the photo is.
TEST(EmbeddedPictures, ATiffsReducedImageIsTurnedByThePhotosOrientation) {
  const std::string file = tiffWith({600, 400}, {{{150, 100}, kEmbedded}}, false, 6);
  const QImage picture = pictureOf(file, kEmbeddedAllowed);
  EXPECT_EQ(picture.size(), QSize(21, 32));
  EXPECT_TRUE(near(centre(picture), kEmbedded)) << centre(picture).name().toStdString();
}

}  // namespace
}  // namespace quillmere
