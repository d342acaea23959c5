#pragma once

#include <string>

#include "support/child_process.h"

namespace quillmere::testing {

// powercut_fs mounted at `mountPoint` over `backing` while the object lives, cut before event
// `cutAt` (see powercut_fs.cpp), its crash states written under `images` and its events to
// `report` by the time the destructor returns. When the file system cannot be mounted here
// (no /dev/fuse, no right to mount, or built without libfuse3), mounted() is false and error()
// says why.
class PowercutMount {
 public:
  PowercutMount(const std::string& backing, const std::string& images, long cutAt,
                const std::string& report, const std::string& mountPoint);
  PowercutMount(const PowercutMount&) = delete;
  PowercutMount& operator=(const PowercutMount&) = delete;
  ~PowercutMount();

  bool mounted() const { return m_mounted; }
  const std::string& error() const { return m_error; }

 private:
  ChildProcess m_process;
  bool m_mounted = false;
  std::string m_error;
};

}  // namespace quillmere::testing
