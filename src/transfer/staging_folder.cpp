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
  // Where this system cannot name the process well enough to prove it gone later, no record is
  // written, and a folder this batch leaves after a crash is never taken for a dead one until it
  // has been left alone for long.
  if (const auto owner = thisProcessOwner()) m_ownerText = encodeOwnerRecord(*owner);
  // The record stands beside the folder before the folder exists, so that the folder is never
  // without one while this batch lives.
  writeOwnerRecordBeside();
  try {
    m_fs.createDirectoryAt(m_destination, m_name);
  } catch (...) {
    removeOwnerRecordBeside();
    throw;
  }
  m_exists = true;
  try {
    m_folder = m_fs.openDirectoryAt(m_destination, m_name);
    lockStaging(m_fs, m_folder);  // marks the folder live for as long as it is open
    writeOwnerRecord();
  } catch (...) {
    removeQuietly();
    throw;
  }
  removeOwnerRecordBeside();
}

StagingFolder::~StagingFolder() {
  if (!m_committed) removeQuietly();
}

void StagingFolder::writeOwnerRecordBeside() {
  if (!m_ownerText || m_hasRecordBeside) return;  // one left from before stands already
  OpenFile record = m_fs.createExclusiveAt(m_destination, ownerRecordBeside(m_name));
  m_hasRecordBeside = true;
  try {
    m_fs.writeAll(record,
                  std::as_bytes(std::span<const char>(m_ownerText->data(), m_ownerText->size())));
  } catch (...) {
    removeOwnerRecordBeside();
    throw;
  }
}

void StagingFolder::removeOwnerRecordBeside() noexcept {
  if (!m_hasRecordBeside) return;
  try {
    m_fs.removeFileAt(m_destination, ownerRecordBeside(m_name));
    m_hasRecordBeside = false;
  } catch (...) {
    // It names this process, which a later save sees end, and then clears it.
  }
}

void StagingFolder::writeOwnerRecord() {
  if (!m_ownerText) return;
  OpenFile record = create(std::string(kOwnerRecordName));
  m_fs.writeAll(record,
                std::as_bytes(std::span<const char>(m_ownerText->data(), m_ownerText->size())));
  // Flushed like every file of the batch: a folder a power cut leaves behind can then still be
  // proven dead, rather than stay until the user removes it.
  m_fs.sync(record);
  m_hasOwnerRecord = true;
}

void StagingFolder::removeOwnerRecord() {
  if (!m_hasOwnerRecord) return;
  writeOwnerRecordBeside();
  m_fs.removeFileAt(m_folder, std::string(kOwnerRecordName));
  m_hasOwnerRecord = false;
}

void StagingFolder::committed() noexcept {
  m_committed = true;
  removeOwnerRecordBeside();
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
  if (!m_exists) {
    removeOwnerRecordBeside();
    return;
  }
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
  bool removed = false;
  try {
    m_fs.removeEmptyFolderAt(m_destination, m_name);
    removed = true;
  } catch (...) {
    // Not empty, or not removable as it is: the thorough removal below finds out which.
  }
  try {
    if (!removed) {
      removed = removeStagingFiles(m_fs, m_destination, m_name, StagingRemoval::ownFolder);
    }
  } catch (...) {
    // The folder stays behind under its hidden name; nothing better can be done here.
  }
  // A folder left behind keeps the record beside it, if it has one, for a later save to prove
  // it dead by.
  if (removed) removeOwnerRecordBeside();
}

}  // namespace quillmere
