#include "app/bridge_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>

namespace quillmere::testing {

BridgeProcess::BridgeProcess(const std::vector<std::string>& args, const std::string& cwd,
                             const BridgeOptions& options) {
  const std::string outPath = m_capture / "out", errPath = m_capture / "err";
  // Everything the child needs is prepared before fork: after it, only async-signal-safe calls.
  const char* const program = options.program.empty() ? QUILLMERE_BRIDGE : options.program.c_str();
  std::vector<char*> argv{const_cast<char*>(program)};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  char* env[] = {const_cast<char*>("PATH=/usr/bin:/bin"), nullptr};
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    dieWithTestProcess(parent);
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, 1);
    dup2(err, 2);
    if (options.standardInput >= 0) dup2(options.standardInput, 0);
    if (options.standardOutput >= 0) dup2(options.standardOutput, 1);
    if (options.standardError >= 0) dup2(options.standardError, 2);
    if (chdir(cwd.c_str()) != 0) _exit(120);
    if (options.fileSizeLimit) {
      const rlimit limit{*options.fileSizeLimit, *options.fileSizeLimit};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(122);
    }
    if (options.user && geteuid() == 0) {
      if (setgroups(0, nullptr) != 0 || setgid(*options.user) != 0 || setuid(*options.user) != 0) {
        _exit(123);
      }
    }
    for (const auto& [resource, value] : options.limits) {
      const rlimit limit{value, value};
      if (setrlimit(resource, &limit) != 0) _exit(124);
    }
    // The test process may have changed these; the child starts as a caller would start it.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &byDefault, nullptr);
    execve(program, argv.data(), env);
    _exit(121);
  }
  EXPECT_GT(pid, 0);
  m_process = ChildProcess(pid);
}

Outcome BridgeProcess::finish() {
  const std::optional<int> status = m_process.wait();
  return Outcome{status.value_or(-SIGKILL), readFile(m_capture / "out"),
                 readFile(m_capture / "err")};
}

Outcome runBridge(const std::vector<std::string>& args, const std::string& cwd,
                  const BridgeOptions& options) {
  return BridgeProcess(args, cwd, options).finish();
}

}  // namespace quillmere::testing
