#include "worker_faults.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string_view>

namespace quillmere::testing {

namespace {

constexpr std::string_view kFaultMarker = "QUILLMERE-TEST-FAULT:";

}  // namespace

std::string faultFile(const char* name) { return std::string(kFaultMarker) + name; }

void makePictureWorkerFault(int fileFd) {
  char head[64] = {};
  const ssize_t got = ::pread(fileFd, head, sizeof head - 1, 0);
  if (got <= 0) return;
  const std::string_view text(head, static_cast<std::size_t>(got));
  if (!text.starts_with(kFaultMarker)) return;
  const std::string_view fault = text.substr(kFaultMarker.size());
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
