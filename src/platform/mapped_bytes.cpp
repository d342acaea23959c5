#include "platform/mapped_bytes.h"

#include <sys/mman.h>

#include <csetjmp>
#include <csignal>
#include <mutex>

namespace quillmere {

void MappedBytes::reset() noexcept {
  if (m_address != nullptr) ::munmap(const_cast<void*>(m_address), m_size);
  m_address = nullptr;
  m_size = 0;
}

namespace {

// The bytes the calling thread is touching under guard, and where to go back to if they fault.
struct Guard {
  const std::byte* begin;
  const std::byte* end;
  sigjmp_buf resume;
};

thread_local Guard* t_guard = nullptr;

// What SIGBUS did before the guard was installed; written once, before the handler can run.
struct sigaction g_previous {};

void onBusError(int signal, siginfo_t* info, void* context) {
  Guard* const guard = t_guard;
  const auto* const address = static_cast<const std::byte*>(info->si_addr);
  if (guard != nullptr && address >= guard->begin && address < guard->end) {
    t_guard = nullptr;
    siglongjmp(guard->resume, 1);
  }
  // Not a guarded page: do what would have been done without us.
  if ((g_previous.sa_flags & SA_SIGINFO) != 0 && g_previous.sa_sigaction != nullptr) {
    g_previous.sa_sigaction(signal, info, context);
  } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
    g_previous.sa_handler(signal);
  } else {
    // Returning repeats the faulting access, which now meets the default action.
    ::signal(SIGBUS, SIG_DFL);
  }
}

void installGuardOnce() {
  static std::once_flag installed;
  std::call_once(installed, [] {
    struct sigaction action {};
    action.sa_sigaction = onBusError;
    // SA_NODEFER leaves SIGBUS unblocked while the handler runs, so jumping out of it needs no
    // signal mask restored (sigsetjmp(…, 0), no system call per guarded touch).
    action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, &g_previous);
  });
}

}  // namespace

bool touchMapped(std::span<const std::byte> bytes,
                 void (*use)(void* context, std::span<const std::byte> bytes), void* context) {
  installGuardOnce();
  Guard guard{bytes.data(), bytes.data() + bytes.size(), {}};
  if (sigsetjmp(guard.resume, 0) != 0) return false;  // the handler has cleared t_guard
  t_guard = &guard;
  use(context, bytes);
  t_guard = nullptr;
  return true;
}

}  // namespace quillmere
