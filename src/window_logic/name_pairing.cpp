#include "window_logic/name_pairing.h"

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <system_error>
#include <utility>

#include "platform/paths.h"

namespace quillmere {

namespace {

std::string asciiLowerCase(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string extensionOf(std::string_view path) {
  const std::string name = fileName(path);
  const auto dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return {};
  return asciiLowerCase(name.substr(dot + 1));
}

}  // namespace

std::string baseName(std::string_view path) {
  std::string name = fileName(path);
  if (const auto dot = name.rfind('.'); dot != std::string::npos && dot > 0) name.resize(dot);
  return asciiLowerCase(std::move(name));
}

bool isSidecar(std::string_view path) {
  static constexpr std::string_view kSidecars[] = {"xmp", "xml", "dop", "pp3", "cos", "cot",
                                                   "cof", "aae", "thm", "on1", "json"};
  const std::string extension = extensionOf(path);
  return std::find(std::begin(kSidecars), std::end(kSidecars), extension) != std::end(kSidecars);
}

bool isRaw(std::string_view path) {
  const std::string extension = extensionOf(path);
  return std::find(kRawExtensions.begin(), kRawExtensions.end(), extension) != kRawExtensions.end();
}

bool isCameraPicture(std::string_view path) {
  // "hif" is the HEIF extension some Fujifilm and Canon cameras write.
  static constexpr std::string_view kCameraPictures[] = {"jpg", "jpeg", "heic", "heif", "hif"};
  const std::string extension = extensionOf(path);
  return std::find(std::begin(kCameraPictures), std::end(kCameraPictures), extension) !=
         std::end(kCameraPictures);
}

std::optional<NameMatch> originalAmong(const std::vector<std::string>& sameName) {
  if (sameName.size() == 1) return NameMatch{sameName.front(), {}};
  NameMatch match;
  for (const auto& file : sameName) {
    if (isRaw(file)) {
      if (!match.original.empty()) return std::nullopt;  // two raws: no guess
      match.original = file;
    } else if (isCameraPicture(file)) {
      match.setAside.push_back(file);
    } else {
      return std::nullopt;
    }
  }
  if (match.original.empty()) return std::nullopt;
  return match;
}

// This is only a suggestion in a panel, so a folder that cannot be read simply offers none.
std::string originalByName(const std::string& folder, const std::string& render,
                           const Excluded& excluded) {
  namespace fs = std::filesystem;
  const std::string wanted = baseName(render);
  std::vector<std::string> found;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string path = appendComponent(folder, it->path().filename().string());
    if (baseName(path) != wanted || isSidecar(path) || excluded(path)) continue;
    std::error_code kindError;
    if (!it->is_regular_file(kindError)) continue;
    found.push_back(path);
  }
  if (error) return {};
  // The folder's order is the file system's: sorted, what is set aside never depends on it.
  std::sort(found.begin(), found.end());
  const auto match = originalAmong(found);
  return match ? match->original : std::string();
}

std::map<std::string, std::vector<std::string>> originalsByBaseName(
    const std::vector<std::string>& originals, const Excluded& excluded) {
  std::map<std::string, std::vector<std::string>> byName;
  for (const auto& original : originals) {
    if (isSidecar(original) || excluded(original)) continue;
    auto& named = byName[baseName(original)];
    if (std::find(named.begin(), named.end(), original) == named.end()) named.push_back(original);
  }
  return byName;
}

}  // namespace quillmere
