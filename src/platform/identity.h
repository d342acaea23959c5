#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <string>

namespace quillmere {

// A random version 4 UUID from the kernel's CSPRNG, in canonical lower-case text.
std::string randomUUID();

// The canonical lower-case text (8-4-4-4-12) of exactly these 16 bytes.
std::string uuidText(const std::array<std::uint8_t, 16>& bytes);

// UTC ISO 8601 with whole seconds, e.g. "2026-03-01T08:05:09Z".
std::string iso8601(std::time_t time);
std::string currentTimeISO8601();

}  // namespace quillmere
