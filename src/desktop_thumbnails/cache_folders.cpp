#include "desktop_thumbnails/cache_folders.h"

#include <cstdlib>

namespace quillmere {

int flavourPixels(ThumbnailFlavour flavour) {
  return flavour == ThumbnailFlavour::large ? 256 : 128;
}

const char* flavourFolder(ThumbnailFlavour flavour) {
  return flavour == ThumbnailFlavour::large ? "large" : "normal";
}

std::optional<std::string> desktopThumbnailsRoot() {
  // A relative XDG_CACHE_HOME is to be ignored, by the base directory rules.
  const char* cache = std::getenv("XDG_CACHE_HOME");
  if (cache != nullptr && cache[0] == '/') return std::string(cache) + "/thumbnails";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.cache/thumbnails";
  return std::nullopt;
}

bool isInsideThumbnails(std::string_view root, std::string_view path) {
  while (root.size() > 1 && root.back() == '/') root.remove_suffix(1);
  return path.size() > root.size() && path.substr(0, root.size()) == root &&
         path[root.size()] == '/';
}

std::vector<ThumbnailFlavour> flavoursFor(int pixels) {
  if (pixels <= 0 || pixels > flavourPixels(ThumbnailFlavour::large)) return {};
  if (pixels > flavourPixels(ThumbnailFlavour::normal)) return {ThumbnailFlavour::large};
  return {ThumbnailFlavour::normal, ThumbnailFlavour::large};
}

}  // namespace quillmere
