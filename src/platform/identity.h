#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace quillmere {

// A random version 4 UUID from the kernel's CSPRNG, in canonical lower-case text.
std::string randomUUID();

// The canonical lower-case text (8-4-4-4-12) of exactly these 16 bytes.
std::string uuidText(const std::array<std::uint8_t, 16>& bytes);

// Whether `text` is a UUID exactly as uuidText writes it: 8-4-4-4-12 lower-case hexadecimal digits.
bool isUuidText(std::string_view text);

// UTC ISO 8601 with whole seconds, e.g. "2026-03-01T08:05:09Z".
std::string iso8601(std::time_t time);
std::string currentTimeISO8601();

}  // namespace quillmere
