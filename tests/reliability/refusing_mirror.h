#pragma once

#include <memory>
#include <string>

#include "support/child_process.h"

namespace quillmere::testing {

// A real file system that refuses renames without replacing (RENAME_NOREPLACE answers EINVAL), as
// some network and FUSE file systems do: bindfs mirroring a folder through FUSE. bindfs runs in
// the foreground as the test's own child, so it ends with the test even when nothing unmounts it.
class RefusingMirror {
 public:
  // Mirrors `backing` at `mountPoint`, an empty folder; or answers nothing, with `reason` saying
  // why this machine cannot (no bindfs, no FUSE device, no right to mount, or a bindfs that
  // honours the flag after all).
  static std::unique_ptr<RefusingMirror> mount(const std::string& backing,
                                               const std::string& mountPoint, std::string& reason);
  RefusingMirror(const RefusingMirror&) = delete;
  RefusingMirror& operator=(const RefusingMirror&) = delete;
  // Unmounts, and waits for bindfs to end.
  ~RefusingMirror();

 private:
  RefusingMirror(std::string mountPoint, ChildProcess bindfs)
      : m_mountPoint(std::move(mountPoint)), m_bindfs(std::move(bindfs)) {}

  std::string m_mountPoint;
  ChildProcess m_bindfs;
};

}  // namespace quillmere::testing
