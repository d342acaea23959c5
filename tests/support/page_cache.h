#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace quillmere::testing {

// How much of a file is in the page cache: what any process has read of it since it was made,
// whether through reads or maps (a sparse file starts with nothing cached). 0 when it cannot be
// looked at.
std::uint64_t cachedBytes(const std::string& path);

// Drops what the page cache holds of a file, so that cachedBytes tells from then on what has been
// read of it since.
void dropCachedPages(const std::string& path);

// Polls `done` for at most ten seconds; a bound, not a measure of speed.
bool eventually(const std::function<bool()>& done);

}  // namespace quillmere::testing
