#pragma once

#include <string>
#include <string_view>

#include "platform/file_system.h"

namespace quillmere {

// The hidden temporary files (".<name>.tmp-<random UUID>") that writers of a result leave beside
// it when they die before their rename are removed by the next writer of the same result.
//
// A writer holds an exclusive lock on its temporary file from the moment it exists until the
// rename, so a temporary file whose lock can be taken belongs to no live writer; the folder's own
// lock (shared while a writer creates and locks its file, exclusive while one clears) covers the
// instant between the creation and the lock. Removals go through the folder's descriptor, never
// through a link, and one that fails changes nothing for the result.

// Removes the temporary files of `name` in `folder` that no live writer holds. Only while it can
// take the folder's exclusive lock: otherwise another writer is creating its file, or clearing,
// right now, and the leftovers wait for the next result. Never fails.
void clearLeftoverResults(OpenFile& folder, const std::string& name, FileSystem& fs) noexcept;

// Creates the temporary file `temporary` in `folder`, locked for as long as it stays open: keep it
// open until it has been renamed over the result.
OpenFile createLockedTemporary(OpenFile& folder, const std::string& temporary, FileSystem& fs);

// Whether `entry` is a temporary file that a writer of `name` made (".<name, cut>.tmp-<UUID>").
bool isTemporaryFileOf(std::string_view entry, std::string_view name);

}  // namespace quillmere
