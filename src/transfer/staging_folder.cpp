#include "transfer/staging_folder.h"

#include <span>
#include <utility>

#include "platform/process_owner.h"
#include "transfer/leftover_staging.h"
#include "transfer/staging_owner.h"

namespace quillmere {

StagingFolder::StagingFolder(FileSystem& fs, OpenFile& destination, std::string name,
                             std::size_t expectedFiles)
    : m_fs(fs), m_destination(destination), m_name(std::move(name)) {
  // Room for every name up front, so that remembering one never fails once its file exists.
  m_created.reserve(expectedFiles);
  m_fs.createDirectoryAt(m_destination, m_name);
  m_exists = true;
  try {
    m_folder = m_fs.openDirectoryAt(m_destination, m_name);
    lockStaging(m_fs, m_folder);  // marks the folder live for as long as it is open
    writeOwnerRecord();
  } catch (...) {
    removeQuietly();
    throw;
  }
}

StagingFolder::~StagingFolder() {
  if (!m_committed) removeQuietly();
}

// Where this system cannot name the process well enough to prove it gone later, no record is
// written, and a folder this batch leaves after a crash is never taken for a dead one: the user
// removes it by hand, which is better than any guess.
void StagingFolder::writeOwnerRecord() {
  const auto owner = thisProcessOwner();
  if (!owner) return;
  const std::string text = encodeOwnerRecord(*owner);
  OpenFile record = create(std::string(kOwnerRecordName));
  m_fs.writeAll(record, std::as_bytes(std::span<const char>(text.data(), text.size())));
  // Flushed like every file of the batch: a folder a power cut leaves behind can then still be
  // proven dead, rather than stay until the user removes it.
  m_fs.sync(record);
  m_hasOwnerRecord = true;
}

void StagingFolder::removeOwnerRecord() {
  if (!m_hasOwnerRecord) return;
  m_fs.removeFileAt(m_folder, std::string(kOwnerRecordName));
  m_hasOwnerRecord = false;
}

OpenFile StagingFolder::create(const std::string& name) {
  {
    const std::lock_guard lock(m_mutex);
    m_created.push_back(name);
  }
  return m_fs.createExclusiveAt(m_folder, name);
}

// Removes the files by the names this batch gave them, through the descriptors it already
// holds, then the folder: a roll-back after running out of descriptors (or memory) still
// leaves nothing behind. Only when something else is in there (a removal failed, or another
// program put a file in) is the folder listed, which needs descriptors of its own; even then
// nothing is removed by recursion or through a mount, so a folder or a mount that appeared in
// here keeps the folder, and what it leads to, as they are.
void StagingFolder::removeQuietly() noexcept {
  if (!m_exists) return;
  if (m_folder.fd) {
    for (const std::string& name : m_created) {
      try {
        m_fs.removeFileAt(m_folder, name);
      } catch (...) {
        // Left to the thorough removal below.
      }
    }
    m_folder.fd.reset();
  }
  try {
    m_fs.removeEmptyFolderAt(m_destination, m_name);
    return;
  } catch (...) {
  }
  try {
    static_cast<void>(removeStagingFiles(m_fs, m_destination, m_name, StagingRemoval::ownFolder));
  } catch (...) {
    // The folder stays behind under its hidden name; nothing better can be done here.
  }
}

}  // namespace quillmere
