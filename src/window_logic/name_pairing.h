#pragma once

#include <array>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere {

// Pairing a render with its original by file name. Exports keep their original's base name
// ("DSC_4001.jpg" for "DSC_4001.CR3"), so the name is a strong hint, never proof: these functions
// only suggest, and every suggestion is still checked as a chosen original is.
// - `baseName`: the file name without its last extension, ASCII letters in lower case.
// - `isSidecar`: files that describe a photo (edits, metadata, thumbnails) and never are one.
// - `originalByName`: the one regular file in a folder that can be a render's original by name.
// - `originalsByBaseName`: chosen files grouped by base name, sidecars and excluded files left out.
// - `originalAmong`: which of the files of one base name is the original, if any one is.

std::string baseName(std::string_view path);

bool isSidecar(std::string_view path);

// The extensions of camera raw files, lower case and without the dot: what cameras and their
// converters write (DNG, Nikon, Canon, Sony, Fujifilm, Olympus, Panasonic, Pentax, Samsung,
// Sigma, Hasselblad, Phase One, Epson, Mamiya, Leaf, Kodak, Leica, GoPro).
inline constexpr std::array<std::string_view, 26> kRawExtensions{
    "dng", "nef", "nrw", "cr2", "cr3", "crw", "arw", "srf", "sr2", "raf", "orf", "rw2", "pef",
    "srw", "x3f", "3fr", "fff", "iiq", "erf", "mef", "mos", "kdc", "dcr", "raw", "rwl", "gpr"};

bool isRaw(std::string_view path);

// The pictures a camera writes beside its raw file when it shoots both (RAW+JPEG, RAW+HEIF).
bool isCameraPicture(std::string_view path);

// Files for which `excluded` is true (the listed renders) are never an original.
using Excluded = std::function<bool(const std::string&)>;

// The regular file in `folder` whose base name is the render's, that is no sidecar and not
// excluded, as originalAmong finds it among all such files; empty when it finds none. A folder that cannot be read offers none.
std::string originalByName(const std::string& folder, const std::string& render,
                           const Excluded& excluded);

// Of the files that share one base name, the one that is the original: the only one, or a raw file
// whose only companions are the camera's own pictures of the same shot (a card shot RAW+JPEG:
// the raw is what the photographer imported), those being set aside. Nothing when the files
// leave a choice open (two raws, a raw and a TIFF, two JPEGs), or when there are none.
struct NameMatch {
  std::string original;
  std::vector<std::string> setAside;  // in the order given
};
std::optional<NameMatch> originalAmong(const std::vector<std::string>& sameName);

// Each base name among `originals` with its distinct files in the order chosen. A render can be
// paired by name only when its base name maps to exactly one file.
std::map<std::string, std::vector<std::string>> originalsByBaseName(
    const std::vector<std::string>& originals, const Excluded& excluded);

}  // namespace quillmere
