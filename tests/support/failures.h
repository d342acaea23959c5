#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace quillmere::testing {

// The user-facing description of what `action` threw, or "no failure".
std::string failureOf(const std::function<void()>& action);

// `text` with each random UUID in it (batch, staging and render names) replaced by "<uuid>", so
// that the paths and messages of two runs of the same batch compare equal.
std::string withoutUuids(std::string_view text);

}  // namespace quillmere::testing
