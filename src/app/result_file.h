#pragma once

#include <string>
#include <string_view>

#include "platform/file_system.h"

namespace quillmere {

// Writes a command's JSON answer to what `resultPath` names: the file at the end of its links is
// replaced atomically; a FIFO, a character device or the caller's own open file (/dev/stdout
// redirected to a file) is written into. Throws when the result is not saved.
void saveResultFile(const std::string& resultPath, std::string_view json, FileSystem& fs);

// Writes `line` to standard error whole, retrying interrupted and short writes; gives up quietly
// when standard error cannot take it, since nothing is left to tell.
void writeErrorLine(std::string_view line);

}  // namespace quillmere
