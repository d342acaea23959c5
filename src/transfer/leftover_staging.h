#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace quillmere {

// What batches that died (killed, crashed, or cut off by a power loss) left in a destination:
// their hidden staging folders, which nothing else would ever remove. Removing is the one thing
// here that can destroy a user's work, so a folder goes only when all of these are proven:
//   - its name is exactly one the program gives staging folders;
//   - it names its owner in its owner record, that owner ran on this machine, and it is gone
//     (the machine has booted since, or the process ended): a lock that can be taken is not
//     enough, since locks are not shared between machines, nor always between two mounts; or,
//     with no record at all, neither it nor anything in it has changed for an hour;
//   - no live batch holds its lock (the same kernel's locks, where a record could mislead);
//   - it and everything in it lie on the destination's own mount: nothing is mounted at it or
//     in it, whatever the device;
//   - it holds only regular files of the names a batch gives them: no sub-folder, no link.
// Anything else named like staging is left whole and never fails the batch.

// Whether a stop was asked for; asked between removals, so a large clearing ends soon after.
using StopAsked = std::function<bool()>;

struct LeftoverClearing {
  // Folders named like staging (".quillmere-partial-" and anything) left in the destination:
  // those not proven dead, and those whose removal failed.
  std::vector<std::string> kept;
  bool stopped = false;  // the clearing ended early for a stop
};

// Clears the destination's provably dead staging folders. Never fails: where the destination
// cannot be listed, nothing is removed. The clearing is skipped (every folder kept) when another
// process holds the destination's lock, never waited for.
// `place` is what the open destination is (its status as the batch found it).
LeftoverClearing clearLeftoverStaging(FileSystem& fs, OpenFile& destination,
                                      const FileStatus& place, const StopAsked& stopAsked) noexcept;

// The bytes the regular files at the top of folder `name` in `destination` hold, rounded up to
// whole blocks; 0 where it cannot be examined. Links and sub-folders are not followed.
std::uint64_t bytesHeldAt(FileSystem& fs, OpenFile& destination, const std::string& name) noexcept;

// How much goes from a staging folder. A leftover (proven dead, but perhaps put to other use
// since) holding anything a batch does not make is left whole. A batch rolling back its own
// folder takes out every file in it, a batch's or one another program put in meanwhile, so that
// the destination ends as it was; a folder or a mount in it stays, and so then does the folder.
enum class StagingRemoval { onlyWhole, ownFolder };

// Removes from the staging folder `name` in `destination` what `removal` allows: never a folder,
// never anything reached through another mount than the destination's, and never by recursion, so
// nothing the check did not see can go; then the folder itself if nothing is left in it. Throws
// the first failure; `stopAsked` (when given) ends it early with the folder left. Returns whether
// the folder is gone.
bool removeStagingFiles(FileSystem& fs, OpenFile& destination, const std::string& name,
                        StagingRemoval removal, const StopAsked& stopAsked = {});

// Takes the exclusive lock a live batch holds on its staging folder, through the folder's open
// descriptor, for as long as that descriptor stays open. Where the lock cannot be taken, the batch
// goes on without it: its owner record still marks it live.
void lockStaging(FileSystem& fs, OpenFile& staging) noexcept;

}  // namespace quillmere
