#pragma once

#include <string>
#include <string_view>

namespace quillmere {

// The absolute, standardised location of a path as given by a user or a caller: a relative path
// is taken against the current directory, then `standardisePath` applies.
std::string fileLocation(std::string_view path);

// Lexical standardisation of an absolute path: "." and empty components are dropped, each ".."
// removes the component before it (never climbing above the root), and no trailing separator is
// left; the root stays "/". Links are not resolved.
std::string standardisePath(std::string_view absolutePath);

// `directory` + "/" + `name`, without doubling the separator after the root.
std::string appendComponent(std::string_view directory, std::string_view name);

// The last component of a path ("b.jpg" for "/a/b.jpg"); the path itself when it has no separator.
std::string fileName(std::string_view path);

// The folder that holds `path`: everything before its last separator ("/" for "/a", "." for a
// path with no separator).
std::string parentOf(std::string_view path);

// Whether `text` is well-formed UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF).
// Paths are bytes to the kernel, but every path the system reports travels in JSON as text.
bool isValidUtf8(std::string_view text);

}  // namespace quillmere
