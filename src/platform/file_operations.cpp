#include "platform/file_operations.h"

#include <cerrno>
#include <memory>
#include <string>

#include "platform/identity.h"
#include "platform/paths.h"

namespace quillmere {

namespace {

std::span<const std::byte> asBytes(std::string_view text) {
  return std::as_bytes(std::span<const char>(text.data(), text.size()));
}

std::string parentOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

std::string readWholeFile(const std::string& path, FileSystem& fs, std::size_t limit) {
  OpenFile file = fs.openForReading(path);
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

OpenFile copyToNewFile(const std::string& source, const std::string& target, FileSystem& fs) {
  OpenFile from = fs.openForReading(source);
  OpenFile to = fs.createExclusive(target);
  try {
    fs.copyContents(from, to);
  } catch (...) {
    to.fd.reset();
    try {
      fs.removeFile(target);
    } catch (...) {
      // The copy's own failure is the one worth reporting.
    }
    throw;
  }
  return to;
}

void writeAtomically(const std::string& target, std::string_view bytes, FileSystem& fs) {
  replaceAtomically(target, bytes, fs);
  syncParentDirectory(target, fs);
}

void syncParentDirectory(const std::string& path, FileSystem& fs) {
  syncDirectory(parentOf(path), fs);
}

void replaceAtomically(const std::string& target, std::string_view bytes, FileSystem& fs) {
  const std::string folder = parentOf(target);
  // Hidden, unique and in the same folder, so the final rename stays within one file system.
  std::string hiddenName(".");
  hiddenName.append(fileName(target)).append(".tmp-").append(randomUUID());
  const std::string temporary = appendComponent(folder, hiddenName);
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

void syncDirectory(const std::string& path, FileSystem& fs) {
  OpenFile folder = fs.openDirectory(path);
  fs.sync(folder);
}

}  // namespace quillmere
