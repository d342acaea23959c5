#pragma once

#include <string>
#include <vector>

#include "platform/file_system.h"

namespace quillmere {

// What batches that died (killed, crashed, or cut off by a power loss) left in a destination:
// their hidden staging folders, which nothing else would ever remove. A live batch holds an
// exclusive lock on its staging folder for its whole life, and the kernel gives that lock back
// however the process ends, so a staging folder whose lock can be taken belongs to no live batch.
//
// Between the creation of a staging folder and the lock on it there is an instant in which it
// looks dead. The destination folder's own lock closes it: a batch creates and locks its staging
// folder while it holds the destination's lock (shared by creators, exclusive while a batch
// claims leftovers), so no folder is claimed in that instant.
//
// Usage, before and after creating the batch's own staging folder:
//   LeftoverStaging leftovers(fs, destination);  // holds the destination's lock, claims leftovers
//   ... create the staging folder and lockStaging() it ...
//   leftovers.clear();                           // gives the lock back, removes what it claimed
//
// Nothing here ever fails a batch: where locks cannot be taken (a file system without them),
// nothing is claimed and nothing removed, and a removal that fails leaves that folder as it was.
class LeftoverStaging {
 public:
  LeftoverStaging(FileSystem& fs, OpenFile& destination) noexcept;
  LeftoverStaging(const LeftoverStaging&) = delete;
  LeftoverStaging& operator=(const LeftoverStaging&) = delete;
  ~LeftoverStaging();

  // Gives the destination's lock back, then removes the claimed folders, each through the
  // descriptor it was claimed with. Removing takes time (a dead batch may have left gigabytes),
  // so other batches are not kept waiting for the destination's lock meanwhile: the claims keep
  // the folders from anyone else.
  void clear() noexcept;

  // How many leftover folders were claimed.
  std::size_t claimed() const { return m_claimed.size(); }

 private:
  void claim(const std::string& name) noexcept;
  void release() noexcept;

  FileSystem& m_fs;
  OpenFile& m_destination;
  bool m_locked = false;
  std::vector<OpenFile> m_claimed;
  std::vector<std::string> m_names;
};

// Takes the exclusive lock a live batch holds on its staging folder, through the folder's open
// descriptor, for as long as that descriptor stays open. Where the lock cannot be taken, the batch
// goes on without it: no other batch could take it there either.
void lockStaging(FileSystem& fs, OpenFile& staging) noexcept;

// Whether `name` is a staging folder's name, ".quillmere-partial-" and something after it.
bool isStagingName(const std::string& name);

}  // namespace quillmere
