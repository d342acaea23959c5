#include "platform/file_operations.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "platform/identity.h"
#include "platform/paths.h"
#include "platform/system_error.h"

namespace quillmere {

namespace {

std::span<const std::byte> asBytes(std::string_view text) {
  return std::as_bytes(std::span<const char>(text.data(), text.size()));
}

// Linux's own limit for the links one path lookup may follow (MAXSYMLINKS).
constexpr int kMostLinksFollowed = 40;

// How many bytes of a file's name its temporary name keeps.
constexpr std::size_t kTemporaryNameKeeps = 32;

bool isMissing(const std::system_error& error) {
  return error.code() == std::errc::no_such_file_or_directory;
}

}  // namespace

std::string readWholeFile(const std::string& path, FileSystem& fs, std::size_t limit) {
  OpenFile file = fs.openStreamForReading(path);
  std::string bytes;
  constexpr std::size_t kChunk = 1 << 16;
  while (bytes.size() < limit) {
    const std::size_t old = bytes.size();
    const std::size_t want = std::min(kChunk, limit - old);
    bytes.resize(old + want);
    const std::size_t got =
        fs.read(file, std::as_writable_bytes(std::span<char>(bytes.data() + old, want)));
    bytes.resize(old + got);
    if (got == 0) break;
  }
  return bytes;
}

void writeAtomically(const std::string& target, std::string_view bytes, FileSystem& fs) {
  replaceAtomically(target, bytes, fs);
  syncParentDirectory(target, fs);
}

void syncParentDirectory(const std::string& path, FileSystem& fs) {
  syncDirectory(parentOf(path), fs);
}

void replaceAtomically(const std::string& target, std::string_view bytes, FileSystem& fs) {
  // Hidden, unique and in the same folder, so the final rename stays within one file system.
  const std::string temporary =
      appendComponent(parentOf(target), temporaryNameFor(fileName(target)));
  OpenFile file = fs.createExclusive(temporary);
  try {
    fs.writeAll(file, asBytes(bytes));
    fs.sync(file);
    file.fd.reset();
    fs.renameReplace(temporary, target);
  } catch (...) {
    file.fd.reset();
    try {
      fs.removeFile(temporary);
    } catch (...) {
      // Nothing more can be done; the write's own failure is the one to report.
    }
    throw;
  }
}

void renameNoReplaceAt(OpenFile& folder, const std::string& from, const std::string& to,
                       FileSystem& fs) {
  if (fs.tryRenameNoReplaceAt(folder, from, to)) return;
  // The error the flag would have given, naming both paths as a failed rename does.
  if (fs.entryStatusAt(folder, to)) {
    throwSystemError(EEXIST, "move \"" + appendComponent(folder.path, from) + "\" to",
                     appendComponent(folder.path, to));
  }
  fs.renameAt(folder, from, to);
}

void syncDirectory(const std::string& path, FileSystem& fs) {
  OpenFile folder = fs.openDirectory(path);
  fs.sync(folder);
}

std::string temporaryNameFor(std::string_view name) {
  std::size_t kept = std::min(name.size(), kTemporaryNameKeeps);
  // Never end inside a UTF-8 sequence: back up over continuation bytes (10xxxxxx).
  if (kept < name.size()) {
    while (kept > 0 && (static_cast<unsigned char>(name[kept]) & 0xC0) == 0x80) --kept;
  }
  std::string hidden(".");
  hidden.append(name.substr(0, kept)).append(".tmp-").append(randomUUID());
  return hidden;
}

WriteTarget writeTargetOf(const std::string& path, FileSystem& fs) {
  // First what the kernel itself reaches through any links. That also follows the links in /proc
  // behind /dev/stdout and /dev/fd/N, whose texts ("pipe:[123]") name nothing when read.
  std::optional<FileStatus> reached;
  try {
    reached = fs.status(path);
  } catch (const std::system_error& error) {
    if (!isMissing(error)) throw;  // nothing there yet is fine: it will be created
  }
  if (reached) {
    if (reached->isStream) return WriteTarget{path, WriteMode::stream};
    if (reached->isDirectory) throwSystemError(EISDIR, "write", path);
    if (!reached->isRegular) throwNotRegularFile(path);  // a socket or a block device
    // The caller's own open file, such as standard output redirected with >>: replacing it would
    // take away what it held and leave the caller writing into a file that no longer has a name.
    if (namesOpenDescriptor(path)) return WriteTarget{path, WriteMode::append};
  }
  // A regular file or nothing: the name to replace or create is where the links end. Replacing
  // the link itself would leave its target with the old content and turn the link into a file.
  std::string current = path;
  for (int followed = 0; followed <= kMostLinksFollowed; ++followed) {
    FileStatus here;
    try {
      here = fs.linkStatus(current);
    } catch (const std::system_error& error) {
      if (isMissing(error)) return WriteTarget{current, WriteMode::replace};
      throw;
    }
    if (!here.isLink) return WriteTarget{current, WriteMode::replace};
    const std::string text = fs.readLink(current);
    // Not standardised: ".." in a link's text is left to the kernel, which takes it physically.
    current = text.starts_with('/') ? text : appendComponent(parentOf(current), text);
  }
  throwSystemError(ELOOP, "open", path);
}

bool namesOpenDescriptor(std::string_view path) {
  const auto isNumber = [](std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (path == "/dev/stdout" || path == "/dev/stderr") return true;
  for (const std::string_view folder : {"/dev/fd/", "/proc/self/fd/", "/proc/thread-self/fd/"}) {
    if (path.starts_with(folder)) return isNumber(path.substr(folder.size()));
  }
  if (!path.starts_with("/proc/")) return false;
  const std::string_view rest = path.substr(6);  // "<pid>/fd/<n>"
  const auto fd = rest.find("/fd/");
  return fd != std::string_view::npos && isNumber(rest.substr(0, fd)) &&
         isNumber(rest.substr(fd + 4));
}

void writeInto(const WriteTarget& target, std::string_view bytes, FileSystem& fs) {
  OpenFile file = target.mode == WriteMode::append ? fs.openForAppending(target.path)
                                                   : fs.openStreamForWriting(target.path);
  fs.writeAll(file, asBytes(bytes));
}

bool isAtOrBelow(OpenFile& folder, const FileStatus& ancestor, FileSystem& fs) {
  FileStatus here = fs.status(folder);
  OpenFile above;
  OpenFile* at = &folder;
  for (;;) {
    if (sameFile(here, ancestor)) return true;
    OpenFile parent = fs.openDirectoryAt(*at, "..");
    const FileStatus up = fs.status(parent);
    if (sameFile(up, here)) return false;  // the root, its own parent
    above = std::move(parent);
    at = &above;
    here = up;
  }
}

}  // namespace quillmere
