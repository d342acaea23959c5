#include "platform/paths.h"

#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/system_error.h"

namespace quillmere {

namespace {

std::string currentDirectory() {
  std::string buffer(256, '\0');
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) throwSystemError(errno, "read the current directory", ".");
    buffer.resize(buffer.size() * 2);
  }
  buffer.resize(buffer.find('\0'));
  return buffer;
}

}  // namespace

std::string fileLocation(std::string_view path) {
  if (!path.empty() && path.front() == '/') return standardisePath(path);
  std::string absolute = currentDirectory();
  absolute += '/';
  absolute += path;
  return standardisePath(absolute);
}

std::string standardisePath(std::string_view absolutePath) {
  std::vector<std::string_view> components;
  std::size_t start = 0;
  while (start <= absolutePath.size()) {
    std::size_t end = absolutePath.find('/', start);
    if (end == std::string_view::npos) end = absolutePath.size();
    const std::string_view component = absolutePath.substr(start, end - start);
    if (component == "..") {
      if (!components.empty()) components.pop_back();
    } else if (!component.empty() && component != ".") {
      components.push_back(component);
    }
    start = end + 1;
  }
  if (components.empty()) return "/";
  std::string result;
  for (const auto component : components) {
    result += '/';
    result += component;
  }
  return result;
}

std::string appendComponent(std::string_view directory, std::string_view name) {
  std::string result(directory);
  if (result.empty() || result.back() != '/') result += '/';
  result += name;
  return result;
}

std::string fileName(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const auto slash = path.rfind('/');
  if (slash == std::string_view::npos || path.size() == 1) return std::string(path);
  return std::string(path.substr(slash + 1));
}

bool isValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;  // range of the second byte, narrowed for the lead bytes that need it
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;   // overlong
      if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;   // overlong
      if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      const unsigned char min = k == 1 ? low : 0x80;
      const unsigned char max = k == 1 ? high : 0xBF;
      if (next < min || next > max) return false;
    }
    i += length;
  }
  return true;
}

std::string parentOf(std::string_view path) {
  const auto slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

}  // namespace quillmere
