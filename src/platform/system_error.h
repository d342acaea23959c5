#pragma once

#include <string_view>
#include <system_error>

namespace quillmere {

// Every failed operating-system call surfaces as a std::system_error whose what() reads
// `cannot <operation> "<path>": <OS reason>`, e.g. `cannot open "/a/b.json": No such file or
// directory`. That text is what a user finally sees, so it must name what we tried and where.
[[noreturn]] void throwSystemError(int error, std::string_view operation, std::string_view path);

// The same form for a path that exists but is not a regular file where one is needed (a folder, a
// FIFO or a device swapped in at a photo's path): `cannot open "<path>": Not a regular file`.
[[noreturn]] void throwNotRegularFile(std::string_view path);

}  // namespace quillmere
