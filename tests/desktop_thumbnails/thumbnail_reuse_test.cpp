#include <sys/stat.h>
#include <utime.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <QApplication>
#include <QBuffer>
#include <QDeadlineTimer>
#include <QImage>
#include <QPixmap>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "desktop_thumbnails/thumbnail_names.h"
#include "support/images.h"
#include "support/temp_dir.h"
#include "window/thumbnail_cache.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

// Generous: on a loaded machine a picture may come late, and the test waits for it.
bool waitUntil(const std::function<bool()>& done) {
  QDeadlineTimer deadline(60'000);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

// A picture of one colour, as a JPEG file.
std::string solidJpeg(QColor colour, int width = 300, int height = 200) {
  QImage image(width, height, QImage::Format_RGB32);
  image.fill(colour);
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "JPEG", 95);
  return bytes.toStdString();
}

bool near(QRgb pixel, QColor colour) {
  return std::abs(qRed(pixel) - colour.red()) < 24 && std::abs(qGreen(pixel) - colour.green()) < 24 &&
         std::abs(qBlue(pixel) - colour.blue()) < 24;
}

long long mtimeOf(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(::stat(path.c_str(), &status), 0);
  return status.st_mtim.tv_sec;
}

void setMtime(const std::string& path, long long seconds) {
  const struct utimbuf times{static_cast<time_t>(seconds), static_cast<time_t>(seconds)};
  ASSERT_EQ(::utime(path.c_str(), &times), 0);
}

// Every test has a cache home of its own: the user's own cache is never touched.
class ThumbnailReuseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* value = std::getenv("XDG_CACHE_HOME")) m_saved = value;
    ::setenv("XDG_CACHE_HOME", (home / "cache").c_str(), 1);
  }
  void TearDown() override {
    if (m_saved) {
      ::setenv("XDG_CACHE_HOME", m_saved->c_str(), 1);
    } else {
      ::unsetenv("XDG_CACHE_HOME");
    }
  }

  // The picture of each file in `box` from a cache of its own, as a fresh opening of the window
  // would ask; how many originals it decoded.
  int open(const std::vector<std::string>& files, QSize box = QSize(42, 28)) {
    ThumbnailCache pictures;
    for (const std::string& file : files) pictures.picture(QString::fromStdString(file), box);
    const auto settled = [&] {
      for (const std::string& file : files) {
        if (pictures.picture(QString::fromStdString(file), box).first ==
            ThumbnailCache::Lookup::pending) {
          return false;
        }
      }
      return true;
    };
    EXPECT_TRUE(waitUntil(settled));
    shown.clear();
    for (const std::string& file : files) {
      const auto [lookup, pixmap] = pictures.picture(QString::fromStdString(file), box);
      EXPECT_EQ(lookup, ThumbnailCache::Lookup::ready) << file;
      shown.push_back(pixmap.toImage());
    }
    return pictures.originalsDecoded();
  }

  std::string entryOf(const std::string& file, const char* flavour = "normal") const {
    return home / ("cache/thumbnails/" + std::string(flavour) + "/" +
                   thumbnailEntryName(thumbnailUri(file)));
  }

  // The picture's colour at its middle.
  static QRgb middle(const QImage& image) { return image.pixel(image.width() / 2, image.height() / 2); }

  const TempDir home;
  std::vector<QImage> shown;

 private:
  std::optional<std::string> m_saved;
};

TEST_F(ThumbnailReuseTest, ASecondOpeningTakesItsPicturesFromTheCache) {
  // A space and letters outside ASCII in the path, as photographers' folders have.
  fs::create_directories(home / "Fotos März");
  std::vector<std::string> files;
  for (int i = 0; i < 3; ++i) {
    files.push_back(home / ("Fotos März/调色 " + std::to_string(i) + ".jpg"));
    testing::writeFile(files.back(), solidJpeg(QColor(200, 40, 40)));
  }
  EXPECT_EQ(open(files), 3);
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    struct stat status {};
    ASSERT_EQ(::lstat(entryOf(file).c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, 0600U);
    const QImage entry(QString::fromStdString(entryOf(file)));
    EXPECT_EQ(entry.text(QStringLiteral("Thumb::URI")).toStdString(), thumbnailUri(file));
    EXPECT_EQ(entry.text(QStringLiteral("Thumb::MTime")).toLongLong(), mtimeOf(file));
    EXPECT_EQ(entry.text(QStringLiteral("Thumb::Size")).toLongLong(), fs::file_size(file));
    EXPECT_EQ(entry.text(QStringLiteral("Thumb::Mimetype")), QStringLiteral("image/jpeg"));
    // The normal size: the larger side 128 pixels.
    EXPECT_EQ(entry.width(), 128);
  }
  // Nothing but the entries themselves was left in the folder.
  EXPECT_EQ(std::distance(fs::directory_iterator(home / "cache/thumbnails/normal"),
                          fs::directory_iterator()),
            3);
  for (const QImage& picture : shown) EXPECT_TRUE(near(middle(picture), QColor(200, 40, 40)));

  // The next opening reads no original; the rows' pictures are the entries'.
  EXPECT_EQ(open(files), 0);
  ASSERT_EQ(shown.size(), 3U);
  for (const QImage& picture : shown) {
    EXPECT_EQ(picture.size(), QSize(42, 28));
    EXPECT_TRUE(near(middle(picture), QColor(200, 40, 40)));
  }
}

TEST_F(ThumbnailReuseTest, ACurrentEntryIsShownAndAnyOtherIsMadeAgain) {
  const std::string file = home / "photo.jpg";
  testing::writeFile(file, solidJpeg(QColor(200, 40, 40)));
  const QColor red(200, 40, 40);
  const QColor green(40, 200, 40);
  // Entries that differ from the file in colour, so which one the row shows is plain.
  const auto greenEntry = [&](const std::string& uri, long long mtime) {
    QImage entry(128, 85, QImage::Format_RGB32);
    entry.fill(green);
    entry.setText(QStringLiteral("Thumb::URI"), QString::fromStdString(uri));
    entry.setText(QStringLiteral("Thumb::MTime"), QString::number(mtime));
    fs::create_directories(fs::path(entryOf(file)).parent_path());
    ASSERT_TRUE(entry.save(QString::fromStdString(entryOf(file)), "PNG"));
  };
  struct Case {
    const char* what;
    std::function<void()> make;
    QColor shown;
    int decoded;
  };
  const Case cases[] = {
      {"current", [&] { greenEntry(thumbnailUri(file), mtimeOf(file)); }, green, 0},
      {"another file's", [&] { greenEntry(thumbnailUri(home / "other.jpg"), mtimeOf(file)); }, red,
       1},
      {"older than the file", [&] { greenEntry(thumbnailUri(file), mtimeOf(file) - 60); }, red, 1},
      {"a link to a current one",
       [&] {
         const std::string elsewhere = home / "elsewhere.png";
         greenEntry(thumbnailUri(file), mtimeOf(file));
         fs::rename(entryOf(file), elsewhere);
         fs::create_symlink(elsewhere, entryOf(file));
       },
       red, 1},
      {"damaged", [&] { testing::writeFile(entryOf(file), "\x89PNG\r\n\x1a\n broken"); }, red, 1},
      {"texts intact but pixels not",
       [&] {
         greenEntry(thumbnailUri(file), mtimeOf(file));
         // The compressed pixels overwritten, their chunk's CRC made to match: only a decoder
         // finds the fault.
         std::string bytes = testing::readFile(entryOf(file));
         const std::size_t type = bytes.find("IDAT");
         ASSERT_NE(type, std::string::npos);
         const auto length = static_cast<std::size_t>(
             (static_cast<unsigned char>(bytes[type - 4]) << 24) |
             (static_cast<unsigned char>(bytes[type - 3]) << 16) |
             (static_cast<unsigned char>(bytes[type - 2]) << 8) |
             static_cast<unsigned char>(bytes[type - 1]));
         for (std::size_t i = 0; i < length; ++i) bytes[type + 4 + i] = '\xff';
         const uLong crc = ::crc32(0, reinterpret_cast<const Bytef*>(bytes.data() + type),
                                   static_cast<uInt>(length + 4));
         for (int i = 0; i < 4; ++i) {
           bytes[type + 4 + length + static_cast<std::size_t>(i)] =
               static_cast<char>((crc >> (24 - 8 * i)) & 0xFF);
         }
         testing::writeFile(entryOf(file), bytes);
       },
       red, 1},
      {"a folder", [&] { fs::create_directories(entryOf(file)); }, red, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(entryOf(file));
    c.make();
    EXPECT_EQ(open({file}), c.decoded);
    ASSERT_EQ(shown.size(), 1U);
    EXPECT_TRUE(near(middle(shown[0]), c.shown)) << std::hex << middle(shown[0]);
    if (c.decoded == 0 || fs::is_directory(entryOf(file))) continue;
    // Rewritten in place as a current entry of the file, not through a link.
    EXPECT_FALSE(fs::is_symlink(entryOf(file)));
    const QImage rewritten(QString::fromStdString(entryOf(file)));
    EXPECT_TRUE(near(middle(rewritten), red));
    EXPECT_EQ(rewritten.text(QStringLiteral("Thumb::MTime")).toLongLong(), mtimeOf(file));
    EXPECT_EQ(open({file}), 0);
  }
  // The file the link led to is left as it was.
  EXPECT_TRUE(near(middle(QImage(QString::fromStdString(home / "elsewhere.png"))), green));
}

TEST_F(ThumbnailReuseTest, AChangedFileIsDecodedAgainAndItsEntryRewritten) {
  const std::string file = home / "photo.jpg";
  testing::writeFile(file, solidJpeg(QColor(200, 40, 40)));
  setMtime(file, 1'600'000'000);
  EXPECT_EQ(open({file}), 1);
  testing::writeFile(file, solidJpeg(QColor(40, 40, 200)));
  setMtime(file, 1'600'000'100);
  EXPECT_EQ(open({file}), 1);
  EXPECT_TRUE(near(middle(shown.at(0)), QColor(40, 40, 200)));
  const QImage entry(QString::fromStdString(entryOf(file)));
  EXPECT_EQ(entry.text(QStringLiteral("Thumb::MTime")), QStringLiteral("1600000100"));
  EXPECT_TRUE(near(middle(entry), QColor(40, 40, 200)));
  EXPECT_EQ(open({file}), 0);
}

TEST_F(ThumbnailReuseTest, BoxesOverTheNormalSizeUseTheLargeEntriesAndNoneOver256) {
  const std::string file = home / "photo.jpg";
  testing::writeFile(file, solidJpeg(QColor(200, 40, 40), 900, 600));
  // A box over 128 device pixels: a large entry, 256 pixels wide.
  EXPECT_EQ(open({file}, QSize(200, 120)), 1);
  EXPECT_EQ(QImage(QString::fromStdString(entryOf(file, "large"))).width(), 256);
  EXPECT_FALSE(fs::exists(entryOf(file, "normal")));
  EXPECT_EQ(open({file}, QSize(200, 120)), 0);
  // A normal box is served by the large entry too, as it holds at least as many pixels.
  EXPECT_EQ(open({file}, QSize(42, 28)), 0);
  EXPECT_EQ(shown.at(0).size(), QSize(42, 28));
  // Over 256 no entry is large enough: the file is decoded at the box's size, nothing is kept.
  EXPECT_EQ(open({file}, QSize(400, 300)), 1);
  EXPECT_EQ(open({file}, QSize(400, 300)), 1);
  EXPECT_EQ(shown.at(0).size(), QSize(400, 300));
}

TEST_F(ThumbnailReuseTest, PicturesComeWhenTheCacheCannotBeWritten) {
  // The cache's home is a file: nothing can be made under it, whoever runs the test.
  testing::writeFile(home / "not-a-folder", "x");
  ::setenv("XDG_CACHE_HOME", (home / "not-a-folder").c_str(), 1);
  const std::string file = home / "photo.jpg";
  testing::writeFile(file, solidJpeg(QColor(200, 40, 40)));
  EXPECT_EQ(open({file}), 1);
  EXPECT_TRUE(near(middle(shown.at(0)), QColor(200, 40, 40)));
  EXPECT_EQ(open({file}), 1);
  EXPECT_TRUE(near(middle(shown.at(0)), QColor(200, 40, 40)));
}

TEST_F(ThumbnailReuseTest, FilesInsideTheCacheGetNoEntry) {
  const std::string normal = home / "cache/thumbnails/normal";
  fs::create_directories(normal);
  const std::string file = normal + "/0123456789abcdef0123456789abcdef.png";
  QImage picture(300, 200, QImage::Format_RGB32);
  picture.fill(QColor(200, 40, 40));
  ASSERT_TRUE(picture.save(QString::fromStdString(file), "PNG"));
  EXPECT_EQ(open({file}), 1);
  EXPECT_TRUE(near(middle(shown.at(0)), QColor(200, 40, 40)));
  EXPECT_EQ(std::distance(fs::directory_iterator(normal), fs::directory_iterator()), 1);
  EXPECT_FALSE(fs::exists(home / "cache/thumbnails/large"));
}

}  // namespace
}  // namespace quillmere
