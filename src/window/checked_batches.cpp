#include "window/checked_batches.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "platform/unique_fd.h"
#include "transfer/manifest.h"
#include "verify/batch_manifest.h"

namespace quillmere {

namespace {

bool holdsManifest(const std::filesystem::path& folder) {
  struct stat status {};
  return ::lstat((folder / kManifestFileName).c_str(), &status) == 0;
}

}  // namespace

// The batches a folder stands for: itself when it holds a manifest (or when nothing in it does,
// so that the check says why it is no batch), otherwise each folder directly in it that does.
std::vector<std::string> batchesIn(const std::string& folder) {
  if (holdsManifest(folder)) return {folder};
  std::vector<std::string> batches;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    std::error_code kind;
    if (entry.is_directory(kind) && !entry.is_symlink(kind) && holdsManifest(entry.path())) {
      batches.push_back(entry.path().string());
    }
  }
  if (batches.empty()) return {folder};
  std::sort(batches.begin(), batches.end());
  return batches;
}

// The render file names the manifest lists, in its order; none when it cannot be read as one.
std::vector<std::string> renderNames(const std::string& folder) {
  const UniqueFd fd(::open((std::filesystem::path(folder) / kManifestFileName).c_str(),
                           O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
  struct stat status {};
  if (!fd || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      static_cast<std::size_t>(status.st_size) > kLargestBatchManifest) {
    return {};
  }
  std::string bytes(static_cast<std::size_t>(status.st_size), '\0');
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n <= 0) return {};
    done += static_cast<std::size_t>(n);
  }
  const ManifestReading reading = readBatchManifest(bytes);
  std::vector<std::string> names;
  if (!reading.manifest) return names;
  for (const ManifestItem& item : reading.manifest->items) names.push_back(item.renderFilename);
  return names;
}

}  // namespace quillmere
