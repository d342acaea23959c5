#include "desktop_thumbnails/entry_writer.h"

#include <fcntl.h>
#include <png.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <string_view>
#include <vector>

#include "desktop_thumbnails/thumbnail_names.h"
#include "platform/unique_fd.h"

namespace quillmere {

namespace {

void appendBytes(png_structp png, png_bytep data, png_size_t length) {
  auto* out = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}

void flushNothing(png_structp) {}

// libpng reports errors by longjmp: nothing with a destructor lives in this function, and it is
// never inlined into one that has.
[[gnu::noinline]] bool writePng(png_uint_32 width, png_uint_32 height, png_bytep* rows,
                                png_textp texts, int textCount, std::vector<std::uint8_t>* out) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, out, appendBytes, flushNothing);
  png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_text(png, info, texts, textCount);
  png_write_info(png, info);
  png_write_image(png, rows);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

bool encodePng(const EntrySource& source, const EntryPixels& pixels,
               std::vector<std::uint8_t>& out) {
  const std::string mtime = std::to_string(source.mtime);
  const std::string size = std::to_string(source.size);
  std::vector<png_bytep> rows(static_cast<std::size_t>(pixels.height));
  for (std::size_t y = 0; y < rows.size(); ++y) {
    rows[y] = const_cast<png_bytep>(pixels.rgba.data() + y * std::size_t(pixels.width) * 4);
  }
  std::vector<png_text> texts;
  const auto add = [&texts](const char* key, const std::string& value) {
    png_text text{};
    text.compression = PNG_TEXT_COMPRESSION_NONE;  // tEXt, which every reader takes as it is
    text.key = const_cast<char*>(key);
    text.text = const_cast<char*>(value.c_str());
    text.text_length = value.size();
    texts.push_back(text);
  };
  const std::string software = "Quillmere Capture One Bridge";
  add("Thumb::URI", source.uri);
  add("Thumb::MTime", mtime);
  add("Thumb::Size", size);
  if (!source.mimeType.empty()) add("Thumb::Mimetype", source.mimeType);
  add("Software", software);
  return writePng(static_cast<png_uint_32>(pixels.width), static_cast<png_uint_32>(pixels.height),
                  rows.data(), texts.data(), static_cast<int>(texts.size()), &out);
}

// The folder, made with mode 0700 when missing, opened.
UniqueFd folderAt(int parent, const char* name) {
  if (::mkdirat(parent, name, 0700) != 0 && errno != EEXIST) return {};
  return UniqueFd(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

UniqueFd flavourFolderOf(const std::string& root, ThumbnailFlavour flavour) {
  // The folders above the cache (XDG_CACHE_HOME, $HOME/.cache) are made too when missing, as the
  // base directory rules ask of the first program that writes there.
  const std::size_t slash = root.rfind('/');
  if (slash == std::string::npos) return {};
  const std::string above = slash == 0 ? std::string("/") : root.substr(0, slash);
  if (::mkdir(above.c_str(), 0700) != 0 && errno != EEXIST) return {};
  const UniqueFd aboveFd(::open(above.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!aboveFd) return {};
  const UniqueFd rootFd = folderAt(aboveFd.get(), root.c_str() + slash + 1);
  if (!rootFd) return {};
  return folderAt(rootFd.get(), flavourFolder(flavour));
}

bool writeWhole(int fd, const std::vector<std::uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    done += static_cast<std::size_t>(wrote);
  }
  return true;
}

}  // namespace

bool writeEntry(const std::string& root, ThumbnailFlavour flavour, const EntrySource& source,
                const EntryPixels& pixels) {
  if (pixels.width <= 0 || pixels.height <= 0 ||
      pixels.rgba.size() != std::size_t(pixels.width) * std::size_t(pixels.height) * 4) {
    return false;
  }
  std::vector<std::uint8_t> png;
  if (!encodePng(source, pixels, png)) return false;
  const UniqueFd folder = flavourFolderOf(root, flavour);
  if (!folder) return false;
  const std::string name = thumbnailEntryName(source.uri);
  // A name of this write alone: several threads and programs write side by side.
  std::uint64_t random = 0;
  if (::getrandom(&random, sizeof random, 0) != sizeof random) return false;
  const std::string temporary = "." + name + "." + std::to_string(random) + ".tmp";
  const UniqueFd file(::openat(folder.get(), temporary.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file) return false;
  // The creation mode passes through the umask, which can only take bits away; set it exactly.
  const bool written = ::fchmod(file.get(), 0600) == 0 && writeWhole(file.get(), png) &&
                       ::renameat(folder.get(), temporary.c_str(), folder.get(), name.c_str()) == 0;
  if (!written) ::unlinkat(folder.get(), temporary.c_str(), 0);
  return written;
}

}  // namespace quillmere
