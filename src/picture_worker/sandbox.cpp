#include "picture_worker/sandbox.h"

#include <fcntl.h>
#include <linux/sched.h>
#include <seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <system_error>

namespace quillmere {

namespace {

struct FilterReleaser {
  void operator()(void* filter) const noexcept { seccomp_release(filter); }
};
using Filter = std::unique_ptr<void, FilterReleaser>;

void check(int result, const char* what) {
  // libseccomp returns negative errno values.
  if (result < 0) throw std::system_error(-result, std::generic_category(), what);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizerBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitizerBuild = true;
#else
constexpr bool kSanitizerBuild = false;
#endif
#else
constexpr bool kSanitizerBuild = false;
#endif

void allow(const Filter& filter, int call) {
  check(seccomp_rule_add(filter.get(), SCMP_ACT_ALLOW, call, 0), "seccomp_rule_add");
}

template <typename... Conditions>
void allowIf(const Filter& filter, int call, Conditions... conditions) {
  check(seccomp_rule_add(filter.get(), SCMP_ACT_ALLOW, call, sizeof...(conditions), conditions...),
        "seccomp_rule_add");
}

// Answered with an error the C library falls back from, rather than killing the worker.
void refuse(const Filter& filter, int call, int error) {
  check(seccomp_rule_add(filter.get(), SCMP_ACT_ERRNO(static_cast<std::uint32_t>(error)), call, 0),
        "seccomp_rule_add");
}

// The address space the process maps already: its program, libraries and, in a sanitizer's
// build, the sanitizer's shadow memory (terabytes reserved, none of it used), which a fixed limit
// would leave no room beside.
std::uint64_t mappedBytes() {
  std::ifstream statm("/proc/self/statm");
  std::uint64_t pages = 0;
  if (!(statm >> pages)) throw std::system_error(EIO, std::generic_category(), "/proc/self/statm");
  return pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

}  // namespace

void enterPictureSandbox(int channel, std::uint64_t addressSpace) {
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    throw std::system_error(errno, std::generic_category(), "PR_SET_NO_NEW_PRIVS");
  }
  const std::uint64_t limitBytes = mappedBytes() + addressSpace;
  const rlimit limit{limitBytes, limitBytes};
  if (::setrlimit(RLIMIT_AS, &limit) != 0) {
    throw std::system_error(errno, std::generic_category(), "setrlimit(RLIMIT_AS)");
  }

  Filter filter(seccomp_init(SCMP_ACT_KILL_PROCESS));
  if (!filter) throw std::system_error(ENOMEM, std::generic_category(), "seccomp_init");
  // Every thread the worker has, and every one it starts, runs under the same filter.
  check(seccomp_attr_set(filter.get(), SCMP_FLTATR_CTL_TSYNC, 1), "seccomp_attr_set");

  // Reading the descriptors it holds: the job's file, its channel.
  for (int call : {SCMP_SYS(read), SCMP_SYS(readv), SCMP_SYS(pread64), SCMP_SYS(preadv),
                   SCMP_SYS(lseek), SCMP_SYS(fstat), SCMP_SYS(close), SCMP_SYS(fcntl)}) {
    allow(filter, call);
  }
  // fstat through fstatat on the descriptor itself. A path given along still only describes a
  // file, never opens it.
  allowIf(filter, SCMP_SYS(newfstatat), SCMP_A3(SCMP_CMP_MASKED_EQ, AT_EMPTY_PATH, AT_EMPTY_PATH));
  refuse(filter, SCMP_SYS(statx), ENOSYS);
  // Writing only to its channel and to standard output and error (both /dev/null).
  if (kSanitizerBuild) {
    // An AddressSanitizer build's runtime asks whether memory is readable by writing it into a
    // pipe of its own: the test builds that carry it may make and write such pipes; opening a
    // file, a socket or a program stays forbidden there too.
    for (int call : {SCMP_SYS(pipe), SCMP_SYS(pipe2), SCMP_SYS(write), SCMP_SYS(writev)}) {
      allow(filter, call);
    }
    allowIf(filter, SCMP_SYS(sendto), SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(channel)));
  } else {
    for (int fd : {STDOUT_FILENO, STDERR_FILENO, channel}) {
      for (int call : {SCMP_SYS(write), SCMP_SYS(writev), SCMP_SYS(sendto)}) {
        allowIf(filter, call, SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(fd)));
      }
    }
  }
  allowIf(filter, SCMP_SYS(recvmsg), SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(channel)));

  // Memory, never executable: no code can be brought in after the filter.
  for (int call : {SCMP_SYS(brk), SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(madvise)}) {
    allow(filter, call);
  }
  allowIf(filter, SCMP_SYS(mmap), SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0));
  allowIf(filter, SCMP_SYS(mprotect), SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0));

  // Clocks and waiting.
  for (int call : {SCMP_SYS(clock_gettime), SCMP_SYS(clock_getres), SCMP_SYS(clock_nanosleep),
                   SCMP_SYS(nanosleep), SCMP_SYS(gettimeofday), SCMP_SYS(futex),
                   SCMP_SYS(sched_yield), SCMP_SYS(sched_getaffinity), SCMP_SYS(getrandom),
                   // The C library's sort asks how much memory the machine has.
                   SCMP_SYS(sysinfo)}) {
    allow(filter, call);
  }

  // Threads of its own (Qt scales large pictures on several), which inherit this filter; never a
  // new process. clone3 passes its flags in memory the filter cannot read: the C library falls
  // back to clone, whose flags it can.
  allowIf(filter, SCMP_SYS(clone), SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD));
  refuse(filter, SCMP_SYS(clone3), ENOSYS);
  for (int call :
       {SCMP_SYS(set_robust_list), SCMP_SYS(rseq), SCMP_SYS(gettid), SCMP_SYS(getpid),
        SCMP_SYS(rt_sigprocmask), SCMP_SYS(rt_sigaction), SCMP_SYS(rt_sigreturn),
        SCMP_SYS(sigaltstack), SCMP_SYS(restart_syscall), SCMP_SYS(exit), SCMP_SYS(exit_group)}) {
    allow(filter, call);
  }
  allowIf(filter, SCMP_SYS(prctl), SCMP_A0(SCMP_CMP_EQ, PR_SET_NAME));
  // The wake-up counter each Qt thread makes for its event dispatcher: a descriptor of no file.
  allow(filter, SCMP_SYS(eventfd2));
  // Signals to itself only, as abort() sends them.
  allowIf(filter, SCMP_SYS(tgkill), SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(::getpid())));

  check(seccomp_load(filter.get()), "seccomp_load");
}

}  // namespace quillmere
