#include "app/leftover_results.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <system_error>

#include "platform/file_operations.h"
#include "platform/paths.h"

namespace quillmere {

namespace {

constexpr std::size_t kUuidLength = 36;  // 8-4-4-4-12 hexadecimal digits

bool isUuid(std::string_view text) {
  if (text.size() != kUuidLength) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (dash ? c != '-' : !hex) return false;
  }
  return true;
}

}  // namespace

void clearLeftoverResults(OpenFile& folder, const std::string& name, FileSystem& fs) noexcept {
  try {
    if (!fs.tryLock(folder, LockKind::exclusive)) return;
  } catch (const std::system_error&) {
    return;  // no locks here: a live writer's file could not be told from a dead one's
  }
  try {
    for (const std::string& entry : fs.listEntries(folder)) {
      if (!isTemporaryFileOf(entry, name)) continue;
      try {
        // Only a regular file, never through a link.
        OpenFile file = fs.openForReadingAt(folder, entry);
        if (!fs.tryLock(file, LockKind::exclusive)) continue;  // a live writer's
        const auto named = fs.entryStatusAt(folder, entry);
        if (named && sameFile(*named, file.status)) fs.removeFileAt(folder, entry);
      } catch (...) {
        // Left as it is: the result does not depend on it.
      }
    }
  } catch (...) {
    // The folder cannot be listed: nothing is cleared.
  }
  fs.unlock(folder);
}

bool isTemporaryFileOf(std::string_view entry, std::string_view name) {
  const std::string sample = temporaryNameFor(name);
  const std::string_view prefix = std::string_view(sample).substr(0, sample.size() - kUuidLength);
  return entry.size() == sample.size() && entry.starts_with(prefix) &&
         isUuid(entry.substr(prefix.size()));
}

OpenFile createLockedTemporary(OpenFile& folder, const std::string& temporary, FileSystem& fs) {
  // Created and locked under the folder's shared lock, so that a writer clearing leftovers (which
  // holds the exclusive one for a moment) never finds it unlocked. That lock is never waited for
  // without end: another program may hold the folder's lock for as long as it likes, and the
  // answer must still come. Past the wait the file is made without it; at worst a clearing at
  // that very instant takes it, and the answer fails as undeliverable rather than never coming.
  constexpr auto kPatience = std::chrono::milliseconds(500);
  constexpr auto kPause = std::chrono::milliseconds(5);
  bool folderLocked = false;
  try {
    const auto giveUp = std::chrono::steady_clock::now() + kPatience;
    while (!(folderLocked = fs.tryLock(folder, LockKind::shared)) &&
           std::chrono::steady_clock::now() < giveUp) {
      std::this_thread::sleep_for(kPause);
    }
  } catch (const std::system_error&) {
    // No locks here: nobody clears either.
  }
  OpenFile file;
  try {
    file = fs.createExclusiveAt(folder, temporary);
  } catch (...) {
    if (folderLocked) fs.unlock(folder);
    throw;
  }
  try {
    static_cast<void>(fs.tryLock(file, LockKind::exclusive));
  } catch (const std::system_error&) {
    // As above: without locks, nothing can claim the file.
  }
  if (folderLocked) fs.unlock(folder);
  return file;
}

}  // namespace quillmere
