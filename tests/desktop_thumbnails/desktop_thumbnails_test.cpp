#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "desktop_thumbnails/cache_folders.h"
#include "desktop_thumbnails/entry_check.h"
#include "desktop_thumbnails/entry_writer.h"
#include "desktop_thumbnails/thumbnail_names.h"
#include "support/temp_dir.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

TEST(ThumbnailNamesTest, UrisAndNamesAreTheDesktopsOwn) {
  struct Case {
    const char* path;
    const char* uri;
    const char* name;
  };
  // The names were worked out apart from this code (percent-encoding of the UTF-8 bytes, then MD5).
  const Case cases[] = {
      {"/home/user/Fotos/März 2024/调色 1.jpg",
       "file:///home/user/Fotos/M%C3%A4rz%202024/%E8%B0%83%E8%89%B2%201.jpg",
       "cca7e9da4228bf024f378bb54710b582.png"},
      {"/tmp/a;b#c?d%e.jpg", "file:///tmp/a%3Bb%23c%3Fd%25e.jpg",
       "7f246d31ffdc59568bf294b02d11a020.png"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(thumbnailUri(c.path), c.uri);
    EXPECT_EQ(thumbnailEntryName(c.uri), c.name) << c.path;
  }
  // What a path may hold as it is stays as it is.
  EXPECT_EQ(thumbnailUri("/p/A-z_0.9~!$&'()*+,=:@x"), "file:///p/A-z_0.9~!$&'()*+,=:@x");
  EXPECT_EQ(thumbnailUri(std::string("/n\x01\x7f\xff", 5)), "file:///n%01%7F%FF");
}

TEST(CacheFoldersTest, FlavourFollowsTheLargerSideOfTheBox) {
  using F = ThumbnailFlavour;
  const std::map<int, std::vector<F>> cases = {
      {0, {}},          {1, {F::normal, F::large}}, {128, {F::normal, F::large}},
      {129, {F::large}}, {256, {F::large}},          {257, {}},
  };
  for (const auto& [pixels, expected] : cases) EXPECT_EQ(flavoursFor(pixels), expected) << pixels;
}

TEST(CacheFoldersTest, FilesInsideTheCacheAreKnown) {
  EXPECT_TRUE(isInsideThumbnails("/c/thumbnails", "/c/thumbnails/normal/x.png"));
  EXPECT_TRUE(isInsideThumbnails("/c/thumbnails/", "/c/thumbnails/x.png"));
  EXPECT_FALSE(isInsideThumbnails("/c/thumbnails", "/c/thumbnails-old/x.png"));
  EXPECT_FALSE(isInsideThumbnails("/c/thumbnails", "/c/thumbnails"));
  EXPECT_FALSE(isInsideThumbnails("/c/thumbnails", "/d/x.png"));
}

class EnvironmentGuard {
 public:
  explicit EnvironmentGuard(const char* name) : m_name(name) {
    if (const char* value = std::getenv(name)) m_value = value;
  }
  ~EnvironmentGuard() {
    if (m_value) {
      ::setenv(m_name, m_value->c_str(), 1);
    } else {
      ::unsetenv(m_name);
    }
  }

 private:
  const char* m_name;
  std::optional<std::string> m_value;
};

TEST(CacheFoldersTest, TheCacheHomeComesFromTheEnvironment) {
  const EnvironmentGuard cache("XDG_CACHE_HOME");
  const EnvironmentGuard home("HOME");
  struct Case {
    const char* cacheHome;  // nullptr: unset
    const char* home;
    std::optional<std::string> root;
  };
  const Case cases[] = {
      {"/x/cache", "/h", "/x/cache/thumbnails"},
      {"relative", "/h", "/h/.cache/thumbnails"},
      {"", "/h", "/h/.cache/thumbnails"},
      {nullptr, "/h", "/h/.cache/thumbnails"},
      {nullptr, nullptr, std::nullopt},
  };
  for (const Case& c : cases) {
    if (c.cacheHome) {
      ::setenv("XDG_CACHE_HOME", c.cacheHome, 1);
    } else {
      ::unsetenv("XDG_CACHE_HOME");
    }
    if (c.home) {
      ::setenv("HOME", c.home, 1);
    } else {
      ::unsetenv("HOME");
    }
    EXPECT_EQ(desktopThumbnailsRoot(), c.root) << (c.cacheHome ? c.cacheHome : "(unset)");
  }
}

// The texts of a PNG as libpng reads them, whatever the chunk kind.
std::map<std::string, std::string> pngTexts(const std::string& path) {
  std::map<std::string, std::string> texts;
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return texts;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png)) == 0) {
    png_init_io(png, file);
    png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    png_textp text = nullptr;
    int count = 0;
    png_get_text(png, info, &text, &count);
    for (int i = 0; i < count; ++i) {
      EXPECT_EQ(text[i].compression, PNG_TEXT_COMPRESSION_NONE) << text[i].key;
      texts[text[i].key] = std::string(text[i].text, text[i].text_length);
    }
    EXPECT_EQ(png_get_image_width(png, info), 3U);
    EXPECT_EQ(png_get_image_height(png, info), 2U);
  }
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(file);
  return texts;
}

class EntryTest : public ::testing::Test {
 protected:
  const TempDir temp;
  const std::string root = temp.path() + "/cache/thumbnails";
  const std::string uri = thumbnailUri("/photos/Blüte 1.jpg");
  const std::string entry = root + "/normal/" + thumbnailEntryName(uri);
  const std::vector<std::uint8_t> rgba = std::vector<std::uint8_t>(3 * 2 * 4, 0x80);
  const EntrySource source{uri, 1700000000, 12345, "image/jpeg"};

  bool write(const EntrySource& what) {
    return writeEntry(root, ThumbnailFlavour::normal, what, EntryPixels{3, 2, rgba});
  }
  bool current(long long mtime = 1700000000) {
    return static_cast<bool>(openCurrentEntry(root, ThumbnailFlavour::normal, uri, mtime));
  }
  std::vector<std::string> namesInFolder() const {
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(root + "/normal")) {
      names.push_back(item.path().filename());
    }
    return names;
  }
};

TEST_F(EntryTest, AWrittenEntryIsPrivateAtomicAndCarriesItsTexts) {
  ASSERT_TRUE(write(source));
  struct stat status {};
  ASSERT_EQ(::lstat(entry.c_str(), &status), 0);
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(status.st_mode & 07777, 0600U);
  for (const std::string& folder : {temp.path() + "/cache", root, root + "/normal"}) {
    ASSERT_EQ(::stat(folder.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0700U) << folder;
  }
  const std::map<std::string, std::string> texts = pngTexts(entry);
  EXPECT_EQ(texts.at("Thumb::URI"), uri);
  EXPECT_EQ(texts.at("Thumb::MTime"), "1700000000");
  EXPECT_EQ(texts.at("Thumb::Size"), "12345");
  EXPECT_EQ(texts.at("Thumb::Mimetype"), "image/jpeg");
  // Nothing else is left beside it.
  EXPECT_EQ(namesInFolder(), std::vector<std::string>{thumbnailEntryName(uri)});
  EXPECT_TRUE(current());
}

TEST_F(EntryTest, OnlyACurrentEntryForTheSameFileIsTaken) {
  ASSERT_TRUE(write(source));
  EXPECT_FALSE(current(1700000001));  // the file changed since
  // Another file's entry under this name (a collision, or written by mistake).
  EntrySource other = source;
  other.uri = thumbnailUri("/photos/other.jpg");
  ASSERT_TRUE(writeEntry(root, ThumbnailFlavour::normal, other, EntryPixels{3, 2, rgba}));
  fs::rename(root + "/normal/" + thumbnailEntryName(other.uri), entry);
  EXPECT_FALSE(current());
  // Rewritten, it is taken again.
  ASSERT_TRUE(write(source));
  EXPECT_TRUE(current());
}

TEST_F(EntryTest, DamagedOrStrangeEntriesAreNotTaken) {
  ASSERT_TRUE(write(source));
  const std::string good = testing::readFile(entry);
  const std::string elsewhere = temp.path() + "/elsewhere.png";
  testing::writeFile(elsewhere, good);
  struct Case {
    const char* what;
    std::function<void()> make;
  };
  const Case cases[] = {
      {"cut short", [&] { testing::writeFile(entry, good.substr(0, good.size() - 20)); }},
      {"a byte changed in its texts",
       [&] {
         std::string bad = good;
         bad[bad.find("1700000000")] = '2';
         testing::writeFile(entry, bad);
       }},
      {"a byte changed in a chunk the check has no use for",
       [&] {
         std::string bad = good;
         bad[bad.find("Quillmere Capture")] = 'q';
         testing::writeFile(entry, bad);
       }},
      {"no PNG", [&] { testing::writeFile(entry, "GIF89a" + good); }},
      {"empty", [&] { testing::writeFile(entry, ""); }},
      {"larger than any entry",
       [&] {
         testing::writeFile(entry, good);
         ASSERT_EQ(::truncate(entry.c_str(), kMostEntryBytes + 1), 0);
       }},
      {"a link to an entry", [&] { fs::create_symlink(elsewhere, entry); }},
      {"a folder", [&] { fs::create_directory(entry); }},
      {"a FIFO", [&] { ASSERT_EQ(::mkfifo(entry.c_str(), 0600), 0); }},
  };
  for (const Case& c : cases) {
    fs::remove_all(entry);
    c.make();
    EXPECT_FALSE(current()) << c.what;
  }
  // Over any of them, a new entry is written in its place; the file a link led to is untouched.
  fs::remove_all(entry);
  fs::create_symlink(elsewhere, entry);
  ASSERT_TRUE(write(EntrySource{uri, 1800000000, 1, ""}));
  EXPECT_TRUE(current(1800000000));
  EXPECT_FALSE(fs::is_symlink(entry));
  EXPECT_EQ(testing::readFile(elsewhere), good);
}

TEST_F(EntryTest, TextsAreReadFromIntactChunksOnly) {
  ASSERT_TRUE(write(source));
  const std::string good = testing::readFile(entry);
  const auto texts = [](const std::string& bytes) {
    return readEntryTexts(std::span(reinterpret_cast<const std::byte*>(bytes.data()), bytes.size()));
  };
  ASSERT_TRUE(texts(good));
  EXPECT_EQ(texts(good)->uri, uri);
  EXPECT_EQ(texts(good)->mtime, 1700000000);
  // Every cut of the file is refused, never read past its end.
  for (std::size_t length = 0; length < good.size(); ++length) {
    EXPECT_FALSE(texts(good.substr(0, length))) << length;
  }
  // A chunk claiming more bytes than the file holds.
  std::string huge = good;
  huge[8] = '\x7f';
  EXPECT_FALSE(texts(huge));
}

// A 1 x 1 PNG with these texts, each as a chunk of the given kind, as other programs write them.
std::string pngWithTexts(const std::vector<std::tuple<int, std::string, std::string>>& texts) {
  std::string bytes;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  std::vector<png_text> chunks;
  for (const auto& [compression, key, value] : texts) {
    png_text text{};
    text.compression = compression;
    text.key = const_cast<char*>(key.c_str());
    text.text = const_cast<char*>(value.c_str());
    text.text_length = compression > 0 ? 0 : value.size();
    text.itxt_length = compression > 0 ? value.size() : 0;
    chunks.push_back(text);
  }
  png_byte pixel[4] = {1, 2, 3, 255};
  png_bytep rows[1] = {pixel};
  if (setjmp(png_jmpbuf(png)) == 0) {
    png_set_write_fn(
        png, &bytes,
        [](png_structp p, png_bytep data, png_size_t length) {
          static_cast<std::string*>(png_get_io_ptr(p))->append(reinterpret_cast<char*>(data), length);
        },
        [](png_structp) {});
    png_set_IHDR(png, info, 1, 1, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_text(png, info, chunks.data(), static_cast<int>(chunks.size()));
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
  }
  png_destroy_write_struct(&png, &info);
  return bytes;
}

TEST(EntryTextsTest, TextsOfEveryKindAreReadWithinBounds) {
  const auto texts = [](const std::string& bytes) {
    return readEntryTexts(std::span(reinterpret_cast<const std::byte*>(bytes.data()), bytes.size()));
  };
  const std::string uri = "file:///a/long/enough/path/to/be/compressed/by/qt/photo.jpg";
  for (const int kind : {PNG_TEXT_COMPRESSION_NONE, PNG_TEXT_COMPRESSION_zTXt,
                         PNG_ITXT_COMPRESSION_NONE, PNG_ITXT_COMPRESSION_zTXt}) {
    SCOPED_TRACE(kind);
    const auto read = texts(pngWithTexts({{kind, "Thumb::URI", uri}, {kind, "Thumb::MTime", "42"}}));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->uri, uri);
    EXPECT_EQ(read->mtime, 42);
  }
  // A compressed value that would inflate past any URI is refused, not inflated whole.
  EXPECT_FALSE(texts(pngWithTexts({{PNG_TEXT_COMPRESSION_zTXt, "Thumb::URI",
                                    std::string(std::size_t{8} << 20, 'a')}})));
  // Two values for one key, an MTime that is no whole number of seconds, or no URI at all.
  EXPECT_FALSE(texts(pngWithTexts({{-1, "Thumb::URI", uri}, {-1, "Thumb::URI", "file:///b"}})));
  EXPECT_FALSE(texts(pngWithTexts({{-1, "Thumb::URI", uri}, {-1, "Thumb::MTime", "42.5"}})));
  EXPECT_FALSE(texts(pngWithTexts({{-1, "Thumb::MTime", "42"}})));
  // Other programs' keys are no concern.
  EXPECT_TRUE(texts(pngWithTexts({{-1, "Thumb::URI", uri}, {-1, "Software", "x"}})));
}

TEST_F(EntryTest, AnUnwritableCacheCostsNothingButTheEntry) {
  // The cache's home is a file: no folder can be made in it (whoever runs the test, root too).
  testing::writeFile(temp.path() + "/file", "x");
  EXPECT_FALSE(writeEntry(temp.path() + "/file/thumbnails", ThumbnailFlavour::normal, source,
                          EntryPixels{3, 2, rgba}));
  // Pixels that do not match their size are refused before anything is made.
  EXPECT_FALSE(writeEntry(root, ThumbnailFlavour::normal, source, EntryPixels{4, 2, rgba}));
  EXPECT_FALSE(fs::exists(root));
  // The flavour's name taken by a file.
  fs::create_directories(root);
  testing::writeFile(root + "/normal", "x");
  EXPECT_FALSE(write(source));
}

}  // namespace
}  // namespace quillmere
