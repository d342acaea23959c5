#include "desktop_thumbnails/thumbnail_names.h"

#include <openssl/evp.h>

#include <array>

namespace quillmere {

namespace {

bool keptInPath(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  // Unreserved, the sub-delimiters a path segment may hold, ':' and '@', and the separator. ';' is
  // left out: the desktop's own libraries escape it, and the name must be theirs byte for byte.
  constexpr std::string_view kKept = "-._~!$&'()*+,=:@/";
  return kKept.find(static_cast<char>(c)) != std::string_view::npos;
}

}  // namespace

std::string thumbnailUri(std::string_view absolutePath) {
  constexpr std::string_view kHex = "0123456789ABCDEF";
  std::string uri = "file://";
  uri.reserve(uri.size() + absolutePath.size() * 3);
  for (const char byte : absolutePath) {
    const auto c = static_cast<unsigned char>(byte);
    if (keptInPath(c)) {
      uri.push_back(byte);
    } else {
      uri.push_back('%');
      uri.push_back(kHex[c >> 4]);
      uri.push_back(kHex[c & 0xF]);
    }
  }
  return uri;
}

std::string thumbnailEntryName(std::string_view uri) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  EVP_Digest(uri.data(), uri.size(), digest.data(), &length, EVP_md5(), nullptr);
  constexpr std::string_view kHex = "0123456789abcdef";
  std::string name;
  for (unsigned int i = 0; i < length; ++i) {
    name.push_back(kHex[digest[i] >> 4]);
    name.push_back(kHex[digest[i] & 0xF]);
  }
  return name + ".png";
}

}  // namespace quillmere
