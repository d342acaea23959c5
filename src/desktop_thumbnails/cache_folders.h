#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere {

// The two sizes of the desktop's thumbnail cache: pictures fitted into 128 or 256 pixels square.
enum class ThumbnailFlavour { normal, large };

int flavourPixels(ThumbnailFlavour flavour);
const char* flavourFolder(ThumbnailFlavour flavour);

// The cache's folder: $XDG_CACHE_HOME/thumbnails when that is an absolute path, else
// $HOME/.cache/thumbnails; none without either.
std::optional<std::string> desktopThumbnailsRoot();

// Whether `path` (absolute) lies inside `root`: such files are the cache's own and get no entry.
bool isInsideThumbnails(std::string_view root, std::string_view path);

// Where to look for a picture whose longest side is `pixels` device pixels, best first: large
// over 128, else normal, then the other one if it still holds at least that many; none over 256,
// which no entry is large enough for.
std::vector<ThumbnailFlavour> flavoursFor(int pixels);

}  // namespace quillmere
