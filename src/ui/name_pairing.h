#pragma once

#include <functional>
#include <map>
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

std::string baseName(std::string_view path);

bool isSidecar(std::string_view path);

// Files for which `excluded` is true (the listed renders) are never an original.
using Excluded = std::function<bool(const std::string&)>;

// The one regular file in `folder` whose base name is the render's, that is no sidecar and not
// excluded; empty when there is none or more than one. A folder that cannot be read offers none.
std::string originalByName(const std::string& folder, const std::string& render,
                           const Excluded& excluded);

// Each base name among `originals` with its distinct files in the order chosen. A render can be
// paired by name only when its base name maps to exactly one file.
std::map<std::string, std::vector<std::string>> originalsByBaseName(
    const std::vector<std::string>& originals, const Excluded& excluded);

}  // namespace quillmere
