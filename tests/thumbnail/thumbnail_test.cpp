#include "thumbnail/thumbnail.h"

#include <gtest/gtest.h>
#include <lcms2.h>
#include <sys/stat.h>
#include <tiffio.h>

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QColorSpace>
#include <QImage>
#include <QImageWriter>
#include <QTransform>
#include <QtGlobal>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "exif_fixture.h"
#include "../inspect/stderr_capture.h"
#include "support/images.h"
#include "support/sanitized.h"
#include "support/temp_dir.h"

namespace quillmere {
namespace {

using testing::quarters;
using testing::StderrCapture;
using testing::storedAs;
using testing::TempDir;
using testing::writeFile;

// Where the window's table draws a picture.
const QSize kBox(64, 32);
// These tests are about what a picture shows, not how fast it comes: under a sanitizer, whose
// instrumented decoders run several times slower, the window's time limit is stretched.
#ifdef QUILLMERE_SANITIZED
constexpr std::chrono::milliseconds kTimeLimit = 10 * kThumbnailTimeLimit;
#else
constexpr std::chrono::milliseconds kTimeLimit = kThumbnailTimeLimit;
#endif

QImage gradient(int width, int height, QImage::Format format) {
  QImage image(width, height, format);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      image.setPixelColor(x, y, QColor(x * 255 / width, y * 255 / height, 128, (x + y) % 256));
    }
  }
  return image;
}

std::string encode(const QImage& image, const char* format, bool progressive = false,
                   int compression = 0) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  QImageWriter writer(&buffer, format);
  writer.setProgressiveScanWrite(progressive);
  writer.setCompression(compression);
  if (!writer.write(image)) ADD_FAILURE() << "cannot encode " << format;
  return bytes.toStdString();
}

struct Case {
  const char* name;
  std::function<std::string()> bytes;
  QSize expected;  // empty: no picture
};

class ThumbnailTable : public ::testing::TestWithParam<Case> {};

TEST_P(ThumbnailTable, GivesAPictureOfTheFittedSizeOrNoneAndPrintsNothing) {
  const Case& c = GetParam();
  const std::string bytes = c.bytes();
  TempDir dir;
  const std::string path = dir.path() + "/" + c.name;
  writeFile(path, bytes);

  // Qt's readers report damage through its message handler, which the window drops; nothing
  // may reach standard error past it, from LibRaw, libjpeg, libpng or libtiff.
  const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType, auto&, auto&) {});
  StderrCapture capture;
  const QImage fromFile = makeThumbnail(path, kBox, kTimeLimit);
  const QImage fromMemory =
      makeThumbnail(std::as_bytes(std::span(bytes.data(), bytes.size())), kBox, kTimeLimit);
  const std::string printed = capture.finish();
  qInstallMessageHandler(previous);

  EXPECT_EQ(printed, "");
  for (const QImage* image : {&fromFile, &fromMemory}) {
    if (c.expected.isEmpty()) {
      EXPECT_TRUE(image->isNull()) << image->width() << "x" << image->height();
    } else {
      ASSERT_FALSE(image->isNull());
      EXPECT_EQ(image->size(), c.expected);
    }
  }
}

std::string jpeg(int width, int height, bool progressive = false) {
  return encode(gradient(width, height, QImage::Format_RGB32), "jpeg", progressive);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ThumbnailTable,
    ::testing::Values(
        Case{"render.jpg", [] { return jpeg(1200, 800); }, QSize(48, 32)},
        Case{"progressive.jpg", [] { return jpeg(600, 1200, true); }, QSize(16, 32)},
        Case{"small.jpg", [] { return jpeg(20, 10); }, QSize(20, 10)},
        Case{"alpha.png", [] { return encode(gradient(640, 160, QImage::Format_ARGB32), "png"); },
             QSize(64, 16)},
        Case{"deep.tif", [] { return encode(gradient(300, 300, QImage::Format_RGBA64), "tiff"); },
             QSize(32, 32)},
        // The preview is upright while the directory says it lies: only LibRaw, which decodes the
        // preview's own bytes, gives an upright picture; a TIFF reader would give none or a wide
        // one.
        Case{"camera.dng", [] { return testing::dngLikeImage(jpeg(240, 320), 320, 240); },
             QSize(24, 32)},
        // A preview of plain 8-bit RGB rows, which LibRaw hands over as a bitmap.
        Case{"bitmap.dng",
             [] {
               std::string rgb;
               for (int i = 0; i < 96 * 64; ++i) rgb += std::string{char(i), char(i / 96), 'x'};
               return testing::dngLikeImage(rgb, 96, 64, false);
             },
             QSize(48, 32)},
        Case{"truncated.jpg",
             [] {
               std::string bytes = jpeg(800, 600);
               return bytes.substr(0, 300);
             },
             QSize()},
        Case{"truncated.tif",
             [] {
               std::string bytes = encode(gradient(300, 300, QImage::Format_RGBA64), "tiff");
               return bytes.substr(0, bytes.size() / 2);
             },
             QSize()},
        Case{"notes.txt", [] { return std::string("Not a picture, just words.\n"); }, QSize()},
        Case{"empty.jpg", [] { return std::string(); }, QSize()},
        // Qt's PNG reader reduces row by row, so a large PNG is fine.
        Case{"large.png",
             [] {
               QImage image(6000, 3000, QImage::Format_ARGB32);
               image.fill(QColor(10, 20, 30, 40));
               return encode(image, "png");
             },
             QSize(64, 32)},
        // Nor does the TIFF reader, band by band: more pixels than could be decoded at full size
        // still give a picture.
        Case{"huge.tif",
             [] {
               QImage image(6000, 3000, QImage::Format_RGBA64);
               image.fill(QColor(10, 20, 30, 40));
               return encode(image, "tiff", false, 1);
             },
             QSize(64, 32)}),
    [](const ::testing::TestParamInfo<Case>& info) {
      std::string name = info.param.name;
      for (char& c : name) {
        if (c == '.') c = '_';
      }
      return name;
    });

TEST(Thumbnail, GivesUpOnceItsTimeIsSpent) {
  const std::string bytes = jpeg(400, 300);
  EXPECT_FALSE(makeThumbnail(std::as_bytes(std::span(bytes.data(), bytes.size())), kBox).isNull());
  EXPECT_TRUE(makeThumbnail(std::as_bytes(std::span(bytes.data(), bytes.size())), kBox,
                            std::chrono::milliseconds(0))
                  .isNull());
}

TEST(Thumbnail, GivesNothingForFoldersMissingFilesAndFifos) {
  TempDir dir;
  EXPECT_TRUE(makeThumbnail(dir.path(), kBox).isNull());
  EXPECT_TRUE(makeThumbnail(dir.path() + "/missing.jpg", kBox).isNull());
  // A FIFO without a writer: opening it must not wait for one, nor reading it for data.
  const std::string fifo = dir.path() + "/photo.jpg";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_TRUE(makeThumbnail(fifo, kBox).isNull());
}

// Every input that ever broke the picture maker under the fuzzer, and its seeds: each gives a
// picture within the box or none (the sanitizer builds also check how it gets there).
TEST(Thumbnail, FuzzSeedsAndFindingsGiveAPictureWithinTheBoxOrNone) {
  const std::filesystem::path fuzz = QUILLMERE_FUZZ_DIR;
  int files = 0;
  for (const char* folder : {"regressions/thumbnail", "corpus/thumbnail"}) {
    for (const auto& entry : std::filesystem::directory_iterator(fuzz / folder)) {
      SCOPED_TRACE(entry.path().string());
      ++files;
      const QImage picture = makeThumbnail(entry.path().string(), kBox);
      if (!picture.isNull()) {
        EXPECT_LE(picture.width(), kBox.width());
        EXPECT_LE(picture.height(), kBox.height());
      }
    }
  }
  EXPECT_GE(files, 3) << "the fuzz folders are missing";
}

// --- upright

// `jpeg` with an EXIF segment recording `orientation`, right after its start marker.
std::string withExifOrientation(const std::string& jpeg, int orientation) {
  std::string tiff("II*\0\x08\0\0\0", 8);
  tiff += std::string("\x01\0", 2);                              // one entry
  tiff += std::string("\x12\x01\x03\0\x01\0\0\0", 8);            // Orientation, SHORT, 1
  tiff += std::string{static_cast<char>(orientation), 0, 0, 0};  // its value
  tiff += std::string(4, '\0');                                  // no next directory
  const std::string payload = std::string("Exif\0\0", 6) + tiff;
  const std::size_t length = payload.size() + 2;
  const std::string segment = std::string("\xFF\xE1", 2) + static_cast<char>(length >> 8) +
                              static_cast<char>(length & 0xFF) + payload;
  return jpeg.substr(0, 2) + segment + jpeg.substr(2);
}

std::string tiffWithOrientation(const QImage& stored, int orientation) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  QImageWriter writer(&buffer, "tiff");
  const QImageIOHandler::Transformations transformations[] = {
      QImageIOHandler::TransformationNone,     QImageIOHandler::TransformationNone,
      QImageIOHandler::TransformationMirror,   QImageIOHandler::TransformationRotate180,
      QImageIOHandler::TransformationFlip,     QImageIOHandler::TransformationFlipAndRotate90,
      QImageIOHandler::TransformationRotate90, QImageIOHandler::TransformationMirrorAndRotate90,
      QImageIOHandler::TransformationRotate270};
  writer.setTransformation(transformations[orientation]);
  if (!writer.write(stored)) ADD_FAILURE() << "cannot encode the TIFF";
  return bytes.toStdString();
}

// The pixels of `image` as 8-bit RGB rows without padding.
std::string rgbRows(const QImage& image) {
  const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
  std::string rows;
  for (int y = 0; y < rgb.height(); ++y) {
    rows.append(reinterpret_cast<const char*>(rgb.constScanLine(y)),
                static_cast<std::size_t>(rgb.width()) * 3);
  }
  return rows;
}

// Each quarter of `picture` has the colour of the same quarter of `expected`, within `tolerance`.
void expectQuarters(const QImage& picture, const QImage& expected, int tolerance) {
  ASSERT_FALSE(picture.isNull());
  EXPECT_EQ(picture.size(), expected.size().scaled(kBox, Qt::KeepAspectRatio));
  for (const QPointF at :
       {QPointF(0.25, 0.25), QPointF(0.75, 0.25), QPointF(0.25, 0.75), QPointF(0.75, 0.75)}) {
    const QColor got =
        picture.pixelColor(int(at.x() * picture.width()), int(at.y() * picture.height()));
    const QColor want =
        expected.pixelColor(int(at.x() * expected.width()), int(at.y() * expected.height()));
    SCOPED_TRACE(::testing::Message() << "at " << at.x() << "," << at.y());
    EXPECT_NEAR(got.red(), want.red(), tolerance);
    EXPECT_NEAR(got.green(), want.green(), tolerance);
    EXPECT_NEAR(got.blue(), want.blue(), tolerance);
  }
}

// Renders and raw originals store a shot taken with the camera turned on its side (or upside
// down) as the sensor saw it, and record how to turn it: each picture comes out upright.
TEST(Thumbnail, PicturesAreUprightWhateverOrientationTheFileRecords) {
  const QImage upright = quarters();
  for (int orientation = 1; orientation <= 8; ++orientation) {
    SCOPED_TRACE(::testing::Message() << "orientation " << orientation);
    // As stored: turned back from upright.
    const QImage stored = storedAs(upright, orientation);
    const std::string storedJpeg = encode(stored, "jpeg", false, 5);
    const struct {
      const char* kind;
      std::string bytes;
    } files[] = {
        {"JPEG with EXIF", withExifOrientation(storedJpeg, orientation)},
        {"TIFF", tiffWithOrientation(stored, orientation)},
        {"raw preview", testing::dngLikeImage(storedJpeg, stored.width(), stored.height(), true,
                                              256, 192, orientation)},
        // Plain 8-bit rows, which LibRaw hands over as a bitmap rather than as a JPEG's bytes.
        {"raw bitmap preview", testing::dngLikeImage(rgbRows(stored), stored.width(),
                                                     stored.height(), false, 256, 192,
                                                     orientation)},
    };
    for (const auto& file : files) {
      SCOPED_TRACE(file.kind);
      expectQuarters(
          makeThumbnail(std::as_bytes(std::span(file.bytes.data(), file.bytes.size())), kBox),
          upright, 40);
    }
  }
}

// --- every size

// Full-size TIFF is the usual export for print: 24 megapixels at 8 and 16 bits, plain or LZW,
// get their picture, reduced while they are read.
TEST(Thumbnail, LargeTiffRendersGetTheirPicture) {
  TempDir dir;
  const struct {
    const char* name;
    int bits;
    bool lzw;
  } cases[] = {{"plain-8.tif", 8, false}, {"lzw-8.tif", 8, true}, {"lzw-16.tif", 16, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.path() + "/" + c.name;
    ASSERT_TRUE(testing::writeTwoColourTiff(path, 6000, 4000, c.bits, c.lzw));
    const QImage picture = makeThumbnail(path, kBox, kTimeLimit);
    ASSERT_FALSE(picture.isNull());
    EXPECT_EQ(picture.size(), QSize(48, 32));
    EXPECT_EQ(picture.pixelColor(8, 16), QColor(255, 0, 0));
    EXPECT_EQ(picture.pixelColor(40, 16), QColor(0, 0, 255));
  }
}

// --- true colours

// The patch every profile case paints: a cyan whose numbers mean quite another colour in a wider
// space than sRGB.
constexpr int kPatch[3] = {116, 199, 207};

struct LittleCmsProfile {
  cmsHPROFILE handle;
  ~LittleCmsProfile() {
    if (handle != nullptr) cmsCloseProfile(handle);
  }
};

QByteArray savedProfile(cmsHPROFILE profile) {
  cmsUInt32Number size = 0;
  if (cmsSaveProfileToMem(profile, nullptr, &size) == 0 || size == 0) return {};
  QByteArray bytes(static_cast<qsizetype>(size), '\0');
  if (cmsSaveProfileToMem(profile, bytes.data(), &size) == 0) return {};
  return bytes;
}

// Sets each grid point of a lookup table to what `cargo`, a transform to Lab, gives for it.
int sampleThroughTransform(const cmsUInt16Number in[], cmsUInt16Number out[], void* cargo) {
  cmsDoTransform(static_cast<cmsHTRANSFORM>(cargo), in, out, 1);
  return 1;
}

// An RGB profile made of a lookup table alone (an A2B0 tag of a version 4 profile, with Lab as
// its connection space, and no primaries nor curves), as print and scanner software writes them:
// AdobeRGB sampled on a grid of 17 points a side. Qt's colour spaces cannot take it; LittleCMS can.
QByteArray lookupTableRgbProfile() {
  const cmsCIExyY d65{0.3127, 0.3290, 1.0};
  const cmsCIExyYTRIPLE adobePrimaries{{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
  cmsToneCurve* curve = cmsBuildGamma(nullptr, 563.0 / 256.0);
  cmsToneCurve* curves[3] = {curve, curve, curve};
  const LittleCmsProfile adobe{cmsCreateRGBProfile(&d65, &adobePrimaries, curves)};
  cmsFreeToneCurve(curve);
  const LittleCmsProfile lab{cmsCreateLab4Profile(nullptr)};
  if (adobe.handle == nullptr || lab.handle == nullptr) return {};
  const cmsHTRANSFORM toLab = cmsCreateTransform(adobe.handle, TYPE_RGB_16, lab.handle,
                                                 TYPE_Lab_16, INTENT_RELATIVE_COLORIMETRIC, 0);
  if (toLab == nullptr) return {};
  cmsPipeline* table = cmsPipelineAlloc(nullptr, 3, 3);
  cmsStage* grid = cmsStageAllocCLut16bit(nullptr, 17, 3, 3, nullptr);
  const bool sampled = cmsStageSampleCLut16bit(grid, sampleThroughTransform, toLab, 0) != 0;
  cmsDeleteTransform(toLab);
  // Curves on both sides, as the tag's layout asks; they leave the values as they are.
  cmsPipelineInsertStage(table, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
  cmsPipelineInsertStage(table, cmsAT_END, grid);
  cmsPipelineInsertStage(table, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
  const LittleCmsProfile profile{cmsCreateProfilePlaceholder(nullptr)};
  cmsSetProfileVersion(profile.handle, 4.3);
  cmsSetDeviceClass(profile.handle, cmsSigDisplayClass);
  cmsSetColorSpace(profile.handle, cmsSigRgbData);
  cmsSetPCS(profile.handle, cmsSigLabData);
  const bool written = sampled && cmsWriteTag(profile.handle, cmsSigAToB0Tag, table) != 0 &&
                       cmsWriteTag(profile.handle, cmsSigMediaWhitePointTag, cmsD50_XYZ()) != 0;
  cmsPipelineFree(table);
  return written ? savedProfile(profile.handle) : QByteArray();
}

// What LittleCMS makes of the patch's numbers in `icc`, in sRGB.
QColor patchInSrgbByLittleCms(const QByteArray& icc) {
  const LittleCmsProfile source{
      cmsOpenProfileFromMem(icc.constData(), static_cast<cmsUInt32Number>(icc.size()))};
  const LittleCmsProfile srgb{cmsCreate_sRGBProfile()};
  if (source.handle == nullptr || srgb.handle == nullptr) return {};
  const cmsHTRANSFORM transform = cmsCreateTransform(source.handle, TYPE_RGB_8, srgb.handle,
                                                     TYPE_RGB_8, INTENT_RELATIVE_COLORIMETRIC, 0);
  if (transform == nullptr) return {};
  const std::uint8_t in[3] = {kPatch[0], kPatch[1], kPatch[2]};
  std::uint8_t out[3] = {};
  cmsDoTransform(transform, in, out, 1);
  cmsDeleteTransform(transform);
  return QColor(out[0], out[1], out[2]);
}

// A 64 x 64 TIFF of the patch, written through libtiff with `icc` in its profile tag (34675).
void writePatchTiff(const std::string& path, const QByteArray& icc) {
  TIFF* tiff = TIFFOpen(path.c_str(), "w");
  ASSERT_NE(tiff, nullptr);
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, 64);
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, 64);
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tiff, TIFFTAG_ICCPROFILE, static_cast<std::uint32_t>(icc.size()), icc.constData());
  std::vector<unsigned char> row;
  for (int x = 0; x < 64; ++x) row.insert(row.end(), {kPatch[0], kPatch[1], kPatch[2]});
  for (std::uint32_t y = 0; y < 64; ++y) TIFFWriteScanline(tiff, row.data(), y, 0);
  TIFFClose(tiff);
}

// Renders exported in a wider space than sRGB carry its profile: shown as their numbers, their
// colours would be wrong. Each row's patch must come out as LittleCMS converts it (a second
// opinion on Qt's conversions, and the reference for the profiles only LittleCMS applies); the
// AdobeRGB ones also as the published matrices and curves give it: (35, 200, 209), its red 81
// levels off its numbers.
TEST(Thumbnail, EmbeddedProfilesAreConvertedToSrgb) {
  const auto named = [](QColorSpace::NamedColorSpace space) {
    return [space] { return QColorSpace(space).iccProfile(); };
  };
  const struct {
    const char* name;  // its suffix is the format written
    std::function<QByteArray()> icc;
    bool qtApplies;
    std::optional<QColor> published;
  } cases[] = {
      {"adobe.jpg", named(QColorSpace::AdobeRgb), true, QColor(35, 200, 209)},
      {"display-p3.png", named(QColorSpace::DisplayP3), true, std::nullopt},
      {"adobe.tif", named(QColorSpace::AdobeRgb), true, QColor(35, 200, 209)},
      {"display-p3.tif", named(QColorSpace::DisplayP3), true, std::nullopt},
      {"lookup-table.tif", lookupTableRgbProfile, false, std::nullopt},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const QByteArray icc = c.icc();
    ASSERT_FALSE(icc.isEmpty());
    ASSERT_EQ(QColorSpace::fromIccProfile(icc).isValid(), c.qtApplies)
        << "the row no longer tests the path it is for";
    const QColor expected = patchInSrgbByLittleCms(icc);
    ASSERT_TRUE(expected.isValid());
    ASSERT_GE(std::abs(expected.red() - kPatch[0]), 20)
        << "the profile hardly changes the patch, so the row would not see it ignored";
    if (c.published) {
      EXPECT_NEAR(expected.red(), c.published->red(), 3);
      EXPECT_NEAR(expected.green(), c.published->green(), 3);
      EXPECT_NEAR(expected.blue(), c.published->blue(), 3);
    }

    const std::string path = dir / c.name;
    if (!path.ends_with(".tif")) {
      // Through Qt's writers, which embed the profile of the image's colour space.
      QImage patch(64, 64, QImage::Format_RGB32);
      patch.fill(qRgb(kPatch[0], kPatch[1], kPatch[2]));
      patch.setColorSpace(QColorSpace::fromIccProfile(icc));
      writeFile(path, encode(patch, path.ends_with(".jpg") ? "jpeg" : "png", false, 0));
    } else {
      writePatchTiff(path, icc);
    }
    const QImage picture = makeThumbnail(path, kBox);
    ASSERT_FALSE(picture.isNull());
    const QColor shown = picture.pixelColor(16, 16);
    EXPECT_NEAR(shown.red(), expected.red(), 3);
    EXPECT_NEAR(shown.green(), expected.green(), 3);
    EXPECT_NEAR(shown.blue(), expected.blue(), 3);
  }
  // A picture of few colours, held as a colour table, with a profile: its colours are kept and
  // converted, never dithered into the table's few when it is reduced.
  QImage indexed(300, 200, QImage::Format_Mono);
  indexed.setColorTable({qRgb(116, 199, 207), qRgb(255, 255, 255)});
  indexed.fill(0);
  indexed.setColorSpace(QColorSpace(QColorSpace::Primaries::SRgb, 2.2f));
  {
    const std::string bytes = encode(indexed, "png");
    const QImage picture =
        makeThumbnail(std::as_bytes(std::span(bytes.data(), bytes.size())), kBox);
    ASSERT_FALSE(picture.isNull());
    const QColor shown = picture.pixelColor(16, 16);
    EXPECT_NEAR(shown.red(), 116, 6);
    EXPECT_NEAR(shown.green(), 199, 6);
    EXPECT_NEAR(shown.blue(), 207, 6);
  }
  // Without a profile, the numbers are sRGB as they are.
  QImage patch(64, 64, QImage::Format_RGB32);
  patch.fill(qRgb(kPatch[0], kPatch[1], kPatch[2]));
  writeFile(dir.path() + "/plain.jpg", encode(patch, "jpeg", false, 0));
  const QColor plain = makeThumbnail(dir.path() + "/plain.jpg", kBox).pixelColor(16, 16);
  EXPECT_NEAR(plain.red(), 116, 3);
  EXPECT_NEAR(plain.green(), 199, 3);
}

}  // namespace
}  // namespace quillmere
