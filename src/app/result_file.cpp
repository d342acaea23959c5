#include "app/result_file.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <span>
#include <system_error>

#include "app/leftover_results.h"
#include "platform/paths.h"

namespace quillmere {

namespace {

std::span<const std::byte> asBytes(std::string_view text) {
  return std::as_bytes(std::span<const char>(text.data(), text.size()));
}

}  // namespace

ResultFile::ResultFile(const std::string& resultPath, FileSystem& fs)
    : m_fs(fs), m_path(fileLocation(resultPath)) {
  try {
    settle();
  } catch (const std::system_error&) {
    // Tried again, and reported, when the answer is saved.
  }
}

void ResultFile::settle() {
  WriteTarget target = writeTargetOf(m_path, m_fs);
  if (target.mode == WriteMode::replace) {
    m_folder = m_fs.openDirectoryToWorkIn(parentOf(target.path));
    m_name = fileName(target.path);
  } else {
    m_streamStatus = m_fs.status(target.path);
  }
  m_target = std::move(target);
}

std::optional<FileStatus> ResultFile::currentTarget() {
  try {
    if (!m_target) return std::nullopt;
    if (m_target->mode != WriteMode::replace) return m_fs.status(m_target->path);
    const std::optional<FileStatus> entry = m_fs.entryStatusAt(m_folder, m_name);
    if (!entry || !entry->isLink) return entry;
    return m_fs.status(m_target->path);
  } catch (const std::system_error&) {
    return std::nullopt;
  }
}

bool ResultFile::outOfBounds(const FileStatus& status, const ResultBounds& bounds) const {
  return std::any_of(bounds.inputs.begin(), bounds.inputs.end(),
                     [&](const FileStatus& input) { return sameFile(input, status); });
}

bool ResultFile::folderInBounds(const ResultBounds& bounds) {
  return !bounds.enclosingFolder || !isAtOrBelow(m_folder, *bounds.enclosingFolder, m_fs);
}

ResultSaved ResultFile::save(std::string_view json, const ResultBounds& bounds) {
  if (!m_target) settle();
  if (m_target->mode != WriteMode::replace) {
    OpenFile file = m_target->mode == WriteMode::append ? m_fs.openForAppending(m_target->path)
                                                        : m_fs.openStreamForWriting(m_target->path);
    const FileStatus opened = m_fs.status(file);
    if (!sameFile(opened, *m_streamStatus) || outOfBounds(opened, bounds)) {
      return ResultSaved::refused;
    }
    m_fs.writeAll(file, asBytes(json));
    return ResultSaved::saved;
  }

  if (!folderInBounds(bounds)) return ResultSaved::refused;
  // Hidden, unique and in the held folder, so the final rename stays within one file system and
  // lands where the result was found to go.
  clearLeftoverResults(m_folder, m_name, m_fs);
  const std::string temporary = temporaryNameFor(m_name);
  OpenFile file = createLockedTemporary(m_folder, temporary, m_fs);
  const auto removeTemporary = [&] {
    file.fd.reset();
    try {
      m_fs.removeFileAt(m_folder, temporary);
    } catch (...) {
      // Nothing more can be done; the write's own failure is the one to report.
    }
  };
  try {
    m_fs.writeAll(file, asBytes(json));
    m_fs.sync(file);
    // The last look before the rename: the name may have been made an input's own entry (a hard
    // link, or the input renamed there) while the command ran. The rename replaces only the entry;
    // the look keeps it from taking an input's name away from it.
    if (const std::optional<FileStatus> entry = m_fs.entryStatusAt(m_folder, m_name);
        entry && !entry->isLink && outOfBounds(*entry, bounds)) {
      removeTemporary();
      return ResultSaved::refused;
    }
    // Renamed while still open and locked, so that it is never found unlocked under its
    // temporary name.
    m_fs.renameAt(m_folder, temporary, m_name);
  } catch (...) {
    removeTemporary();
    throw;
  }
  try {
    m_fs.sync(m_folder);
  } catch (...) {
    // The new result has already replaced any earlier file, whole, and the caller can read it;
    // answering "not saved" now would be untrue. Only whether the replacement survives a power
    // cut is in doubt, and nothing here can mend that.
  }
  return ResultSaved::saved;
}

std::vector<FileStatus> identitiesOf(const std::vector<std::string>& paths, FileSystem& fs) {
  std::vector<FileStatus> identities;
  identities.reserve(paths.size());
  for (const std::string& path : paths) {
    try {
      identities.push_back(fs.status(fileLocation(path)));
    } catch (const std::system_error&) {
      // Not there, or not to be examined: the command refuses it or never reads it.
    }
  }
  return identities;
}

void writeErrorLine(std::string_view line) {
  std::size_t written = 0;
  while (written < line.size()) {
    const ssize_t n = ::write(STDERR_FILENO, line.data() + written, line.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    written += static_cast<std::size_t>(n);
  }
}

}  // namespace quillmere
