#include "support/page_cache.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"

namespace quillmere::testing {

std::uint64_t cachedBytes(const std::string& path) {
  const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return 0;
  struct stat status {};
  if (fstat(fd.get(), &status) != 0) return 0;
  const auto size = static_cast<std::size_t>(status.st_size);
  void* const mapped = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd.get(), 0);
  if (mapped == MAP_FAILED) return 0;
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  std::vector<unsigned char> resident((size + page - 1) / page);
  std::uint64_t cached = 0;
  if (mincore(mapped, size, resident.data()) == 0) {
    for (const unsigned char pageState : resident) cached += (pageState & 1) * page;
  }
  munmap(mapped, size);
  return cached;
}

void dropCachedPages(const std::string& path) {
  const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd) posix_fadvise(fd.get(), 0, 0, POSIX_FADV_DONTNEED);
}

bool eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace quillmere::testing
