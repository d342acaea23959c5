#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace quillmere::testing {

// A fresh folder under $TMPDIR (or /tmp) for one test, removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  const std::string& path() const { return m_path; }
  // path() + "/" + name
  std::string operator/(std::string_view name) const;

 private:
  std::string m_path;
};

// Writes `bytes` to `path`, creating or truncating it.
void writeFile(const std::string& path, std::string_view bytes);
// Appends `bytes` to the end of an existing file.
void appendFile(const std::string& path, std::string_view bytes);
// Reads a whole file; fails the test when it cannot.
std::string readFile(const std::string& path);
// A sparse file of exactly `size` bytes (no blocks used), for size-limit tests.
void makeSparseFile(const std::string& path, std::int64_t size);

// Every entry below `root` (relative path -> content digest, "<dir>" for folders), recursively.
// Two equal snapshots mean nothing was added, removed or changed.
std::map<std::string, std::string> snapshot(const std::string& root);

}  // namespace quillmere::testing
