// The real executable in window mode, as a desktop or a terminal starts it: without a display,
// and ended by a signal.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace quillmere {
namespace {

using namespace std::chrono_literals;

constexpr const char* kNoDisplayLine =
    "无法打开图形界面的显示器；没有图形界面时，请使用请求模式：quillmere-bridge --request "
    "请求文件 结果文件。\n";

// Starts the program with exactly this environment (plus PATH, HOME and the sanitizers' options
// of a sanitized build), its standard error going to `stderrPath`.
pid_t spawnBridge(const std::vector<std::string>& environment, const std::string& stderrPath) {
  std::vector<std::string> variables = environment;
  for (const char* name : {"PATH", "HOME", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name)) variables.push_back(std::string(name) + "=" + value);
  }
  std::vector<char*> envp;
  for (auto& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);
  std::string program = QUILLMERE_BRIDGE_PATH;
  char* argv[] = {program.data(), nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = -1;
  const int error = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(error, 0);
  return error == 0 ? pid : -1;
}

// The exit status, or nothing when the process has not ended within `limit` (it is then killed).
std::optional<int> waitForExit(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return std::nullopt;
    }
    std::this_thread::sleep_for(10ms);
  }
  if (!WIFEXITED(status)) {
    ADD_FAILURE() << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    return -1;
  }
  return WEXITSTATUS(status);
}

// Whether the process catches `signal`, from its SigCgt mask in /proc.
bool catches(pid_t pid, int signal) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (!line.starts_with("SigCgt:")) continue;
    const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
    return (mask >> (signal - 1)) & 1u;
  }
  return false;
}

std::string contents(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(WindowMode, WithoutADisplayItSaysSoOnOneLineAndEndsWithStatusOne) {
  testing::TempDir dir;
  const struct {
    const char* name;
    std::vector<std::string> environment;
  } cases[] = {
      {"no display at all", {}},
      {"a display that cannot be reached", {"DISPLAY=:97"}},
      {"empty display variables", {"DISPLAY=", "WAYLAND_DISPLAY="}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto environment = c.environment;
    environment.push_back("XDG_CONFIG_HOME=" + dir.path());
    const pid_t pid = spawnBridge(environment, dir / "stderr");
    ASSERT_GT(pid, 0);
    EXPECT_EQ(waitForExit(pid, 20s), 1);
    EXPECT_EQ(contents(dir / "stderr"), kNoDisplayLine);
  }
}

TEST(WindowMode, TermIntAndHupEndItLikeItsQuitItem) {
  testing::TempDir dir;
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal));
    const pid_t pid = spawnBridge({"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + dir.path(),
                                   "XDG_RUNTIME_DIR=" + dir.path()},
                                  dir / "stderr");
    ASSERT_GT(pid, 0);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!catches(pid, signal) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(catches(pid, signal));
    ASSERT_EQ(::kill(pid, signal), 0);
    EXPECT_EQ(waitForExit(pid, 20s), 0);
    EXPECT_EQ(contents(dir / "stderr"), "") << "nothing is printed";
  }
}

}  // namespace
}  // namespace quillmere
