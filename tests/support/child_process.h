#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quillmere::testing {

// How long a test waits for a process it started before it calls it hung: far below ctest's limit
// for a whole test (300 s), so that a hang fails the test with a message of its own and the
// process is gone before ctest would give up on the test.
inline constexpr std::chrono::seconds kChildTimeLimit{90};

// A process a test started, owned as a descriptor is: however the test leaves (a failed ASSERT
// returns early, an exception unwinds), the destructor kills the process with SIGKILL and reaps
// it. An orphan would keep ctest's output pipe open and outlive the run.
class ChildProcess {
 public:
  ChildProcess() = default;
  explicit ChildProcess(pid_t pid) : m_pid(pid) {}
  ChildProcess(ChildProcess&& other) noexcept : m_pid(other.release()) {}
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() { kill(); }

  pid_t pid() const { return m_pid; }
  explicit operator bool() const { return m_pid > 0; }

  // Waits at most `limit` for the process to end and reaps it: its exit status, or minus the
  // signal that ended it. One still running then is killed and reaped, the test fails, and the
  // answer is nothing. `usage`, when given, receives what the process used (wait4).
  std::optional<int> wait(std::chrono::milliseconds limit = kChildTimeLimit,
                          rusage* usage = nullptr);

  // How the process ended, reaping it, if it has; nothing while it runs.
  std::optional<int> poll();

  // Kills the process with SIGKILL, if it is still owned, and reaps it.
  void kill();

 private:
  pid_t release() {
    const pid_t pid = m_pid;
    m_pid = -1;
    return pid;
  }

  pid_t m_pid = -1;
};

// A program started as a desktop or a terminal starts it.
struct Launch {
  std::string program;
  std::vector<std::string> arguments;
  // Exactly these variables, plus PATH, HOME and the sanitizers' options of a sanitized build.
  std::vector<std::string> environment;
  // The folder it starts in, as a terminal's; the test's own when empty.
  std::string folder;
  // Where its standard error goes, and its standard output too when `withOutput`.
  std::string log;
  bool withOutput = false;
  // Several launches sharing one log each add to it; otherwise each starts it afresh.
  bool appendToLog = false;
};

// Starts `launch`; the process is the caller's to wait for, and a test that leaves early, by a
// failed check included, kills it on the way out. Fails the test when it cannot be started.
ChildProcess launch(const Launch& launch);

// For a freshly forked child of `testProcess`, before anything else: it is killed when the test
// process ends, even by a crash or by ctest's own timeout, when no destructor runs.
void dieWithTestProcess(pid_t testProcess);

// Runs `body` in a forked child, which ends with status 0 when `body` returns true, 1 when it
// returns false, and 2 when it throws. The child writes nothing of the test's buffered output.
ChildProcess forkChild(const std::function<bool()>& body);

// Whether this process is root, whom file permissions do not bind. CI runs as root.
bool isRoot();

// For a forked child of a root process: makes `tree` and everything in it belong to nobody, then
// takes nobody's user and group (65534) and drops every other group, so that permissions bind it
// and the test's own files stay reachable (the folders above `tree` must let anyone pass, as /tmp
// does). Throws when any step fails.
void becomeNobody(const std::string& tree);

// Runs `body`, a part of a test that needs permissions to bind, as an ordinary user: in this
// process when it is not root, otherwise in a forked child that becomes nobody (becomeNobody with
// `tree`, the test's own folder). Expectations that fail in the child are printed there and fail
// the test here.
void runAsOrdinaryUser(const std::string& tree, const std::function<void()>& body);

}  // namespace quillmere::testing
