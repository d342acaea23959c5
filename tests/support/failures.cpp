#include "support/failures.h"

#include <exception>

#include "records/records.h"

namespace quillmere::testing {

std::string failureOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& error) {
    return describe(error);
  }
  return "no failure";
}

std::string withoutUuids(std::string_view text) {
  constexpr std::string_view kShape = "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx";
  const auto fits = [&](std::size_t at) {
    if (text.size() - at < kShape.size()) return false;
    for (std::size_t i = 0; i < kShape.size(); ++i) {
      const char c = text[at + i];
      const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
      if (kShape[i] == '-' ? c != '-' : !hex) return false;
    }
    return true;
  };
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    if (fits(i)) {
      out += "<uuid>";
      i += kShape.size();
    } else {
      out += text[i++];
    }
  }
  return out;
}

}  // namespace quillmere::testing
