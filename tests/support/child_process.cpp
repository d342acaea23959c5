#include "support/child_process.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>

namespace quillmere::testing {

namespace {

constexpr uid_t kNobody = 65534;

int outcomeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return -WTERMSIG(status);
  return -1;
}

[[noreturn]] void fail(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    kill();
    m_pid = other.release();
  }
  return *this;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds limit, rusage* usage) {
  if (m_pid <= 0) {
    ADD_FAILURE() << "no process to wait for";
    return std::nullopt;
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::chrono::milliseconds pause(1);
  for (;;) {
    int status = 0;
    const pid_t ended = ::wait4(m_pid, &status, WNOHANG, usage);
    if (ended == m_pid) {
      m_pid = -1;
      return outcomeOf(status);
    }
    if (ended < 0 && errno != EINTR) {
      ADD_FAILURE() << "cannot wait for process " << m_pid << ": " << std::strerror(errno);
      kill();
      return std::nullopt;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      ADD_FAILURE() << "process " << m_pid << " still running after " << limit.count()
                    << " ms; killed";
      kill();
      return std::nullopt;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
  }
}

std::optional<int> ChildProcess::poll() {
  if (m_pid <= 0) return std::nullopt;
  int status = 0;
  pid_t ended;
  do {
    ended = ::waitpid(m_pid, &status, WNOHANG);
  } while (ended < 0 && errno == EINTR);
  if (ended != m_pid) return std::nullopt;
  m_pid = -1;
  return outcomeOf(status);
}

void ChildProcess::kill() {
  const pid_t pid = release();
  if (pid <= 0) return;
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

void dieWithTestProcess(pid_t testProcess) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  // The test process may have ended before the line above; the child then has another parent.
  if (::getppid() != testProcess) ::_exit(125);
}

ChildProcess forkChild(const std::function<bool()>& body) {
  // What is buffered now was written by the test; flushed here, the child cannot write it again.
  std::fflush(nullptr);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) fail("fork");
  if (pid == 0) {
    dieWithTestProcess(parent);
    int status = 2;
    try {
      status = body() ? 0 : 1;
    } catch (const std::exception& error) {
      std::fprintf(stderr, "the child threw: %s\n", error.what());
    } catch (...) {
      std::fprintf(stderr, "the child threw\n");
    }
    std::fflush(nullptr);
    ::_exit(status);
  }
  return ChildProcess(pid);
}

bool isRoot() { return ::geteuid() == 0; }

void becomeNobody(const std::string& tree) {
  const auto handOver = [](const std::filesystem::path& path) {
    if (::lchown(path.c_str(), kNobody, kNobody) != 0) fail("hand over " + path.string());
  };
  handOver(tree);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(tree)) {
    handOver(entry.path());
  }
  // Groups first: once the user is nobody, it may change them no more.
  if (::setgroups(0, nullptr) != 0) fail("drop the groups");
  if (::setgid(kNobody) != 0) fail("take nobody's group");
  if (::setuid(kNobody) != 0) fail("become nobody");
}

void runAsOrdinaryUser(const std::string& tree, const std::function<void()>& body) {
  if (!isRoot()) {
    body();
    return;
  }
  ChildProcess child = forkChild([&] {
    becomeNobody(tree);
    body();
    return !::testing::Test::HasFailure();
  });
  EXPECT_EQ(child.wait(), 0) << "the part run as nobody failed; its failures are printed above";
}

ChildProcess launch(const Launch& launch) {
  std::vector<std::string> variables = launch.environment;
  for (const char* name : {"PATH", "HOME", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name)) variables.push_back(std::string(name) + "=" + value);
  }
  std::vector<char*> envp;
  for (auto& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);
  std::string program = launch.program;
  std::vector<std::string> arguments = launch.arguments;
  std::vector<char*> argv{program.data()};
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // The working folder changes for the child alone (glibc 2.29's addchdir_np, which Debian 12 has).
  if (!launch.folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, launch.folder.c_str());
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, launch.log.c_str(),
                                   O_WRONLY | O_CREAT | (launch.appendToLog ? O_APPEND : O_TRUNC),
                                   0600);
  if (launch.withOutput) posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
  pid_t pid = -1;
  const int error = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(error, 0) << "cannot start " << program << ": " << std::strerror(error);
  return ChildProcess(error == 0 ? pid : -1);
}

}  // namespace quillmere::testing
