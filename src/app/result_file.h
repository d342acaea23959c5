#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_operations.h"
#include "platform/file_system.h"

namespace quillmere {

// What a command's answer must never land on: files it read (a request's originals and renders),
// and a folder it must never be written into or anywhere below (the batch a verify reads).
struct ResultBounds {
  std::vector<FileStatus> inputs;
  std::optional<FileStatus> enclosingFolder;
};

enum class ResultSaved { saved, refused };

// Where a command writes its JSON answer, settled once, before the command runs, and held: a path
// names a place only at the moment it is looked at, and a batch takes long enough for a link to
// be put where the result goes. For a file to replace or create (the end of any links, as
// writeTargetOf finds it) its folder is held open and the answer is renamed into that folder,
// which replaces a directory entry and never writes into an existing file; whatever the name has
// become meanwhile (a link to an original, a hard link), the file it led to is untouched. A FIFO,
// a character device or the caller's own open file is written into only if it is still the file
// found at the start.
class ResultFile {
 public:
  // Never throws: what cannot be settled now (a folder that does not exist yet) is settled, and
  // reported, when the answer is saved.
  ResultFile(const std::string& resultPath, FileSystem& fs);

  // The file the answer would replace or write into now, if one is there.
  std::optional<FileStatus> currentTarget();

  // Writes the answer. Refuses, changing nothing, when the place now holds one of `bounds`'s
  // inputs, lies in or below its enclosing folder, or is no longer the stream or open file found
  // at the start; throws a platform error when the answer cannot be written.
  ResultSaved save(std::string_view json, const ResultBounds& bounds);

 private:
  void settle();
  bool outOfBounds(const FileStatus& status, const ResultBounds& bounds) const;
  bool folderInBounds(const ResultBounds& bounds);

  FileSystem& m_fs;
  std::string m_path;
  std::optional<WriteTarget> m_target;
  OpenFile m_folder;                        // where a replaced or created answer goes
  std::string m_name;                       // ... under this name
  std::optional<FileStatus> m_streamStatus;  // the stream or open file written into
};

// The identity of each path that can be examined now; those that cannot are left out.
std::vector<FileStatus> identitiesOf(const std::vector<std::string>& paths, FileSystem& fs);

// Writes `line` to standard error whole, retrying interrupted and short writes; gives up quietly
// when standard error cannot take it, since nothing is left to tell.
void writeErrorLine(std::string_view line);

}  // namespace quillmere
