#include "platform/identity.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "platform/system_error.h"

namespace quillmere {

std::string uuidText(const std::array<std::uint8_t, 16>& bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 0x0F];
  }
  return text;
}

bool isUuidText(std::string_view text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
    if (dash ? c != '-' : !hex) return false;
  }
  return true;
}

std::string randomUUID() {
  std::array<std::uint8_t, 16> bytes{};
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    // getrandom on 16 bytes never returns short once the pool is initialised; loop regardless.
    const ssize_t n = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throwSystemError(errno, "read random bytes from", "getrandom");
    }
    filled += static_cast<std::size_t>(n);
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
  return uuidText(bytes);
}

std::string iso8601(std::time_t time) {
  std::tm utc{};
  ::gmtime_r(&time, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return text;
}

std::string currentTimeISO8601() { return iso8601(std::time(nullptr)); }

}  // namespace quillmere
