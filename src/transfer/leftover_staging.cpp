#include "transfer/leftover_staging.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <ctime>
#include <system_error>
#include <span>
#include <string_view>

#include "transfer/staging_folder.h"
#include "transfer/staging_owner.h"

namespace quillmere {

namespace {

constexpr std::size_t kLongestRecord = 4096;
constexpr std::uint64_t kBlock = 4096;
// How long a staging folder without an owner record, and everything in it, must have been left
// untouched before it is taken for a dead batch's: far longer than a live batch ever leaves its
// folder unchanged, with room for the clocks of two machines sharing the folder to disagree.
constexpr std::time_t kUntouchedAge = 3600;

// Whether `entry` is reached through the same mount as `place` (and on its device): a bind mount
// of a folder of the same file system shares the device, so the mount decides. Where the system
// does not tell the mount, nothing can be proven.
bool onSameMount(const FileStatus& entry, const FileStatus& place) {
  return entry.mount && place.mount && *entry.mount == *place.mount &&
         entry.device == place.device;
}

// The text of record `name` in `folder`, or nothing when it is too long to be one; fails with
// ENOENT when there is no such file.
std::optional<std::string> recordText(FileSystem& fs, OpenFile& folder, const std::string& name) {
  OpenFile record = fs.openForReadingAt(folder, name);
  if (record.status.size < 0 || record.status.size > static_cast<std::int64_t>(kLongestRecord)) {
    return std::nullopt;
  }
  std::array<std::byte, kLongestRecord + 1> buffer{};
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    const std::size_t got = fs.read(record, std::span(buffer).subspan(filled));
    if (got == 0) break;
    filled += got;
  }
  if (filled > kLongestRecord) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(buffer.data()), filled);
}

// The owner named by record `name` in `folder`; fails with ENOENT when there is no such record.
std::optional<ProcessOwner> ownerIn(FileSystem& fs, OpenFile& folder, const std::string& name) {
  const auto text = recordText(fs, folder, name);
  return text ? decodeOwnerRecord(*text) : std::nullopt;
}

bool isMissing(const std::system_error& error) { return error.code().value() == ENOENT; }

// Whether the staging folder open as `folder`, named `name` in `destination`, is provably a dead
// batch's of this machine. Its owner record is in it, or beside it in the instants a batch has
// none in it; with neither, only long stillness proves it dead.
bool isProvablyDead(FileSystem& fs, OpenFile& destination, const FileStatus& place,
                    const std::string& name, OpenFile& folder) {
  const FileStatus status = fs.status(folder);
  if (!status.isDirectory || !onSameMount(status, place)) return false;
  if (!fs.tryLock(folder, LockKind::exclusive)) return false;  // a live batch of this kernel's
  for (auto* where : {&folder, &destination}) {
    try {
      const std::string record =
          where == &folder ? std::string(kOwnerRecordName) : ownerRecordBeside(name);
      // A record cut short (by a power loss before it was flushed) proves nothing either way.
      if (const auto owner = ownerIn(fs, *where, record)) return isProvablyGone(*owner);
    } catch (const std::system_error& error) {
      if (!isMissing(error)) throw;
    }
  }
  // No owner record that can be read: a batch cut off by a power loss before its record reached
  // the disk, a
  // clearing cut off before its last step, or a batch made before batches kept records. A live
  // batch changes its folder or a file in it all the time, so one left untouched for long is a
  // dead one's; whether it holds only what a batch makes is checked on removal.
  const std::time_t now = std::time(nullptr);
  if (now - status.modifiedSeconds <= kUntouchedAge) return false;
  for (const std::string& entry : fs.listEntries(folder)) {
    const auto entryStatus = fs.entryStatusAt(folder, entry);
    if (entryStatus && now - entryStatus->modifiedSeconds <= kUntouchedAge) return false;
  }
  return true;
}

// Removes the record beside a staging folder that is gone, when its owner is provably gone too
// (a batch killed just after its commit, or while making its folder).
void clearRecordBeside(FileSystem& fs, OpenFile& destination, const std::string& record) {
  const std::string staging(stagingNameOfRecordBeside(record));
  if (fs.entryStatusAt(destination, staging)) return;  // its folder's clearing decides
  const auto text = recordText(fs, destination, record);
  if (!text) return;
  const auto owner = decodeOwnerRecord(*text);
  // One cut short was being written when its save was killed, before its folder was made: it
  // holds nothing but part of a record, so it goes whoever wrote it.
  if (owner ? isProvablyGone(*owner) : isOwnerRecordCutShort(*text)) {
    fs.removeFileAt(destination, record);
  }
}

}  // namespace

bool removeStagingFiles(FileSystem& fs, OpenFile& destination, const std::string& name,
                        StagingRemoval removal, const StopAsked& stopAsked) {
  OpenFile folder = fs.openDirectoryAt(destination, name);
  const FileStatus place = fs.status(destination);
  const FileStatus status = fs.status(folder);
  if (!status.isDirectory || !onSameMount(status, place)) return false;
  std::vector<std::string> files;
  bool onlyOurs = true;
  for (std::string& entry : fs.listEntries(folder)) {
    const auto entryStatus = fs.entryStatusAt(folder, entry);
    if (!entryStatus) continue;  // gone meanwhile
    const bool flat = !entryStatus->isDirectory && onSameMount(*entryStatus, place);
    if (flat && isStagingFileName(entry) && entryStatus->isRegular) {
      files.push_back(std::move(entry));
    } else if (flat && removal == StagingRemoval::ownFolder) {
      files.push_back(std::move(entry));  // put into this batch's own folder while it ran
      onlyOurs = false;
    } else {
      onlyOurs = false;
    }
  }
  if (!onlyOurs && removal == StagingRemoval::onlyWhole) return false;
  // The owner record goes last: a removal cut short leaves the proof for the next save.
  std::stable_partition(files.begin(), files.end(),
                        [](const std::string& file) { return file != kOwnerRecordName; });
  for (const std::string& file : files) {
    if (stopAsked && stopAsked()) return false;
    // unlinkat without AT_REMOVEDIR: a folder or a mount point swapped in since it was examined
    // fails to go rather than going with what it holds.
    fs.removeFileAt(folder, file);
  }
  // The folder is removed by name only while the name still leads to the folder emptied: one
  // renamed onto the name meanwhile is not ours to remove. An entry made meanwhile keeps it too.
  const auto named = fs.entryStatusAt(destination, name);
  if (!named || !named->isDirectory || !sameFile(*named, status)) return false;
  fs.removeEmptyFolderAt(destination, name);
  return true;
}

LeftoverClearing clearLeftoverStaging(FileSystem& fs, OpenFile& destination,
                                      const FileStatus& place, const StopAsked& stopAsked) noexcept {
  LeftoverClearing clearing;
  std::vector<std::string> names;
  std::vector<std::string> recordsBeside;
  try {
    for (std::string& name : fs.listEntries(destination)) {
      if (!name.starts_with(kStagingFolderPrefix)) continue;
      const auto status = fs.entryStatusAt(destination, name);
      if (!status) continue;
      if (status->isDirectory) {
        names.push_back(std::move(name));
      } else if (status->isRegular && !stagingNameOfRecordBeside(name).empty()) {
        recordsBeside.push_back(std::move(name));
      }
    }
  } catch (...) {
    // The folder cannot be listed: nothing is cleared, and nothing is known to be kept.
    return clearing;
  }
  bool locked = false;
  try {
    // Two batches clearing one folder at once would only trip over each other; one that finds
    // the other at it leaves the clearing to it rather than wait.
    locked = fs.tryLock(destination, LockKind::exclusive);
  } catch (...) {
    // No locks here: nothing can be proven, so nothing goes.
  }
  for (std::string& name : names) {
    if (!locked || clearing.stopped || !isStagingName(name)) {
      clearing.kept.push_back(std::move(name));
      continue;
    }
    if (stopAsked && stopAsked()) {
      clearing.stopped = true;
      clearing.kept.push_back(std::move(name));
      continue;
    }
    bool removed = false;
    try {
      // Opened without following a link: a link named like staging leads somewhere not ours. The
      // lock taken through this descriptor keeps a batch that starts now from reviving it.
      OpenFile folder = fs.openDirectoryAt(destination, name);
      if (isProvablyDead(fs, destination, place, name, folder)) {
        removed = removeStagingFiles(fs, destination, name, StagingRemoval::onlyWhole, stopAsked);
      }
    } catch (...) {
      // A file the user may not remove, a failing disk, or a folder gone meanwhile: it stays, for
      // a later save to try again; the batch does not fail for it.
    }
    if (!removed) {
      if (stopAsked && stopAsked()) clearing.stopped = true;
      clearing.kept.push_back(std::move(name));
    }
  }
  for (const std::string& record : recordsBeside) {
    if (!locked || clearing.stopped) break;
    try {
      clearRecordBeside(fs, destination, record);
    } catch (...) {
      // Left for a later save; a record is a few hundred bytes.
    }
  }
  if (locked) fs.unlock(destination);
  return clearing;
}

std::uint64_t bytesHeldAt(FileSystem& fs, OpenFile& destination, const std::string& name) noexcept {
  std::uint64_t total = 0;
  try {
    OpenFile folder = fs.openDirectoryAt(destination, name);
    for (const std::string& entry : fs.listEntries(folder)) {
      const auto status = fs.entryStatusAt(folder, entry);
      if (!status || !status->isRegular || status->size <= 0) continue;
      total += (static_cast<std::uint64_t>(status->size) + kBlock - 1) / kBlock * kBlock;
    }
  } catch (...) {
    // What cannot be examined is not counted: the figure is a guide for the user, not a promise.
  }
  return total;
}

void lockStaging(FileSystem& fs, OpenFile& staging) noexcept {
  try {
    static_cast<void>(fs.tryLock(staging, LockKind::exclusive));
  } catch (...) {
    // No locks on this file system: the owner record alone tells that the folder is live.
  }
}

}  // namespace quillmere
