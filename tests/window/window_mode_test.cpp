// The real executable in window mode, as a desktop or a terminal starts it: without a display,
// and ended by a signal.

#include <gtest/gtest.h>
#include <signal.h>
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

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace quillmere {
namespace {

using namespace std::chrono_literals;

constexpr const char* kNoDisplayLine =
    "无法打开图形界面的显示器；没有图形界面时，请使用请求模式：quillmere-bridge --request "
    "请求文件 结果文件。\n";

// The program in window mode with exactly this environment, its standard error going to `log`.
testing::ChildProcess spawnBridge(const std::vector<std::string>& environment, const std::string& log) {
  testing::Launch bridge;
  bridge.program = QUILLMERE_BRIDGE_PATH;
  bridge.environment = environment;
  bridge.log = log;
  return testing::launch(bridge);
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
    testing::ChildProcess bridge = spawnBridge(environment, dir / "stderr");
    ASSERT_TRUE(bridge);
    EXPECT_EQ(bridge.wait(20s), 1);
    EXPECT_EQ(contents(dir / "stderr"), kNoDisplayLine);
  }
}

TEST(WindowMode, TermIntAndHupEndItLikeItsQuitItem) {
  testing::TempDir dir;
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal));
    testing::ChildProcess bridge =
        spawnBridge({"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + dir.path(),
                     "XDG_RUNTIME_DIR=" + dir.path()},
                    dir / "stderr");
    ASSERT_TRUE(bridge);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!catches(bridge.pid(), signal) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(catches(bridge.pid(), signal));
    ASSERT_EQ(::kill(bridge.pid(), signal), 0);
    EXPECT_EQ(bridge.wait(20s), 0);
    EXPECT_EQ(contents(dir / "stderr"), "") << "nothing is printed";
  }
}

}  // namespace
}  // namespace quillmere
