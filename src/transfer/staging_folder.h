#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"

namespace quillmere {

inline constexpr std::string_view kBatchFolderPrefix = "Quillmere-";
inline constexpr std::string_view kStagingFolderPrefix = ".quillmere-partial-";

// Owns the hidden folder a batch is built in, inside the open destination folder. The folder names
// its owner, this process, in a record of its own until the commit, so that it is never taken
// for a dead batch's while this one lives. Unless the batch
// is committed, the folder is removed with everything in it, whatever failed and however we
// leave; a failure of that removal is ignored so that the failure which caused the roll-back is
// the one the caller receives. Everything is relative to the destination's descriptor, so a path
// to the destination repointed meanwhile cannot scatter the batch or its removal.
class StagingFolder {
 public:
  // Creates the folder `name` in `destination`, with room to remember `expectedFiles` names.
  StagingFolder(FileSystem& fs, OpenFile& destination, std::string name, std::size_t expectedFiles);
  StagingFolder(const StagingFolder&) = delete;
  StagingFolder& operator=(const StagingFolder&) = delete;
  ~StagingFolder();

  OpenFile& folder() { return m_folder; }
  const std::string& name() const { return m_name; }

  // A new file in the folder, open for writing and reading back. Its name is remembered before it
  // is created, so that the roll-back finds every file this batch made without listing the folder.
  // May be called from both of a batch's threads.
  OpenFile create(const std::string& name);

  // Takes the record naming this process as the folder's owner out of the folder, to stand
  // beside it until the commit: the last step before the commit, since a saved batch holds only
  // its renders and its manifest.
  void removeOwnerRecord();

  // Once the rename has succeeded the batch is saved and visible: nothing may take it away again.
  // The record beside it goes too (a failure to remove it leaves it for a later save to clear).
  void committed() noexcept;

 private:
  void writeOwnerRecordBeside();
  void removeOwnerRecordBeside() noexcept;
  void writeOwnerRecord();
  void removeQuietly() noexcept;

  FileSystem& m_fs;
  OpenFile& m_destination;
  std::string m_name;
  OpenFile m_folder;
  std::mutex m_mutex;  // files are created from both of a batch's threads
  std::vector<std::string> m_created;
  bool m_exists = false;
  bool m_committed = false;
  bool m_hasOwnerRecord = false;
  std::optional<std::string> m_ownerText;  // nothing where this system cannot name the owner
  bool m_hasRecordBeside = false;
};

}  // namespace quillmere
