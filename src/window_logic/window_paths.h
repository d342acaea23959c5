#pragma once

#include <exception>
#include <string>

#include "platform/paths.h"

// Locations as the window handles them: files handed over by the desktop or a panel, and the
// folder each sits in (where the next panel opens).
namespace quillmere {

// A location for a path handed over by the desktop. When the current directory cannot be read,
// a relative path stays as it is and is refused when it is examined.
inline std::string locationOrAsGiven(const std::string& path) {
  try {
    return fileLocation(path);
  } catch (const std::exception&) {
    return path;
  }
}

inline std::string parentFolder(const std::string& location) {
  const auto slash = location.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? std::string("/") : location.substr(0, slash);
}

}  // namespace quillmere
