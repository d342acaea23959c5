#include "transfer/leftover_staging.h"

#include <string_view>
#include <system_error>

namespace quillmere {

namespace {

constexpr std::string_view kStagingPrefix = ".quillmere-partial-";

}  // namespace

bool isStagingName(const std::string& name) {
  return name.size() > kStagingPrefix.size() && name.starts_with(kStagingPrefix);
}

LeftoverStaging::LeftoverStaging(FileSystem& fs, OpenFile& destination) noexcept
    : m_fs(fs), m_destination(destination) {
  try {
    if (!m_fs.tryLock(m_destination, LockKind::exclusive)) {
      // Another batch is creating its staging folder, or claiming leftovers, right now: the
      // leftovers are its to clear. This batch only waits for the moment it needs to create its
      // own folder safely.
      m_fs.lock(m_destination, LockKind::shared);
      m_locked = true;
      return;
    }
    m_locked = true;
    for (const std::string& name : m_fs.listEntries(m_destination)) {
      if (isStagingName(name)) claim(name);
    }
  } catch (...) {
    // No locks here, or the folder cannot be listed: nothing is claimed, and the batch goes on.
  }
}

LeftoverStaging::~LeftoverStaging() { release(); }

void LeftoverStaging::claim(const std::string& name) noexcept {
  try {
    // Never through a link: a link named like staging leads somewhere that is not ours.
    OpenFile folder = m_fs.openDirectoryAt(m_destination, name);
    if (!m_fs.tryLock(folder, LockKind::exclusive)) return;  // a live batch's
    m_names.reserve(m_names.size() + 1);
    m_claimed.reserve(m_claimed.size() + 1);
    m_names.push_back(name);
    m_claimed.push_back(std::move(folder));
  } catch (...) {
    // Not a folder, gone meanwhile, or without locks: left as it is.
  }
}

void LeftoverStaging::release() noexcept {
  if (!m_locked) return;
  m_fs.unlock(m_destination);
  m_locked = false;
}

void LeftoverStaging::clear() noexcept {
  release();
  for (std::size_t i = 0; i < m_claimed.size(); ++i) {
    try {
      m_fs.removeContents(m_claimed[i]);
      // The folder is removed by name only while the name still leads to the folder emptied:
      // one renamed onto the name meanwhile is not ours to remove.
      const auto named = m_fs.entryStatusAt(m_destination, m_names[i]);
      if (named && named->isDirectory && sameFile(*named, m_fs.status(m_claimed[i]))) {
        m_fs.removeEmptyFolderAt(m_destination, m_names[i]);
      }
    } catch (...) {
      // A file the user may not remove, or a failing disk: this folder stays, for a later save
      // to try again; the batch does not fail for it.
    }
    m_claimed[i].fd.reset();
  }
  m_claimed.clear();
  m_names.clear();
}

void lockStaging(FileSystem& fs, OpenFile& staging) noexcept {
  try {
    static_cast<void>(fs.tryLock(staging, LockKind::exclusive));
  } catch (...) {
    // No locks on this file system: nothing can claim the folder either.
  }
}

}  // namespace quillmere
