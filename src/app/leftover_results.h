#pragma once

#include <string>
#include <string_view>

#include "platform/file_system.h"

namespace quillmere {

// Replaces the regular file (or nothing yet) at `target` with `bytes` so that a reader sees either
// the old file or the complete new one, as replaceAtomically does, and first removes the hidden
// temporary files (".<name>.tmp-<random UUID>") that earlier writers of the same result left
// beside it when they died before their rename.
//
// A writer holds an exclusive lock on its temporary file from the moment it exists until the
// rename, so a temporary file whose lock can be taken belongs to no live writer; the folder's own
// lock (shared while a writer creates and locks its file, exclusive while one clears) covers the
// instant between the creation and the lock. Removals go through the folder's descriptor, never
// through a link, and one that fails changes nothing for the result. A folder that cannot be
// opened for that (one the caller may write into but not list) gets the plain replacement.
//
// Like replaceAtomically, the folder is not flushed here: whether the rename survives a power cut
// is settled by a later syncParentDirectory. Throws when the result is not saved; `target` is then
// as it was.
void replaceClearingLeftovers(const std::string& target, std::string_view bytes, FileSystem& fs);

// Whether `entry` is a temporary file that a writer of `name` made (".<name, cut>.tmp-<UUID>").
bool isTemporaryFileOf(std::string_view entry, std::string_view name);

}  // namespace quillmere
