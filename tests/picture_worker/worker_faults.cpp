#include "worker_faults.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <string_view>

namespace quillmere::testing {

namespace {

constexpr std::string_view kFaultMarker = "QUILLMERE-TEST-FAULT:";

}  // namespace

std::string faultFile(const char* name) { return std::string(kFaultMarker) + name; }

void makePictureWorkerFault(int fileFd) {
  // Anywhere in the file's first 64 KiB, so a render that must begin as a real TIFF or PNG to be
  // listed can carry it after its image.
  std::string head(64 * 1024, '\0');
  const ssize_t got = ::pread(fileFd, head.data(), head.size(), 0);
  if (got <= 0) return;
  head.resize(static_cast<std::size_t>(got));
  const std::size_t at = head.find(kFaultMarker);
  if (at == std::string::npos) return;
  const std::string_view fault = std::string_view(head).substr(at + kFaultMarker.size());
  if (fault.starts_with("crash")) {
    volatile int* nowhere = nullptr;
    *nowhere = 1;
  } else if (fault.starts_with("hang")) {
    for (;;) asm volatile("");
  } else if (fault.starts_with("open")) {
    ::close(::open("/etc/hostname", O_RDONLY));
  } else if (fault.starts_with("socket")) {
    ::close(::socket(AF_INET, SOCK_STREAM, 0));
  } else if (fault.starts_with("exec")) {
    char* const arguments[] = {const_cast<char*>("true"), nullptr};
    ::execv("/bin/true", arguments);
  }
}

}  // namespace quillmere::testing
