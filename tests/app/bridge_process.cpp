#include "app/bridge_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>

#include "app/request_mode.h"
#include "support/images.h"
#include "support/page_cache.h"
#include "transfer/create_batch.h"

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

std::string saveTwoRenderBatch(const std::filesystem::path& dir) {
  writeFile(dir / "a.jpg", jpegImage(6, 4));
  writeFile(dir / "b.png", pngImage(5, 3));
  writeFile(dir / "a.raw", "original a");
  writeFile(dir / "b.raw", "original b");
  const BatchResult result = createBatch({"CAPTURE_ONE",
                                          "catalog",
                                          dir / "out",
                                          {{dir / "a.raw", dir / "a.jpg", "p", "v"},
                                           {dir / "b.raw", dir / "b.png", "q", "w"}}});
  EXPECT_TRUE(result.directory) << result.error.value_or("");
  return result.directory.value_or("");
}

Outcome signalledWhileReading(const std::vector<std::string>& args, const std::string& cwd,
                              const std::string& file, int signal, const BridgeOptions& options) {
  dropCachedPages(file);
  BridgeProcess bridge(args, cwd, options);
  EXPECT_TRUE(eventually([&] { return cachedBytes(file) > (64 << 20); }));
  EXPECT_EQ(kill(bridge.pid(), signal), 0);
  return bridge.finish();
}

int underEachLimit(int resource, rlim_t lowest, rlim_t highest, rlim_t step,
                   const std::function<Outcome(const BridgeOptions&)>& run,
                   const std::function<bool(const Outcome&)>& judge) {
  const char* const name = resource == RLIMIT_AS       ? "RLIMIT_AS "
                           : resource == RLIMIT_NOFILE ? "RLIMIT_NOFILE "
                                                       : "limit ";
  int started = 0;
  for (rlim_t value = lowest; value <= highest; value += step) {
    SCOPED_TRACE(name + (resource == RLIMIT_AS ? std::to_string(value >> 20) + " MiB"
                                               : std::to_string(value)));
    BridgeOptions options;
    options.limits = {{resource, value}};
    const Outcome outcome = run(options);
    if (outcome.status == 127 &&
        outcome.err.find("error while loading shared libraries") != std::string::npos) {
      continue;
    }
    ++started;
    EXPECT_GE(outcome.status, 0) << "ended by signal " << -outcome.status << ": " << outcome.err;
    if (!judge(outcome)) break;
  }
  return started;
}

std::string largestRequest(const std::string& original, const std::string& render) {
  constexpr int kItems = 500;
  const auto itemOf = [&](int i, std::size_t slashes) {
    return R"({"sourcePath":")" + original + R"(","renderPath":")" + render +
           R"(","externalPhotoId":")" + std::string(slashes, '/') +
           R"(","externalVariantId":")" + std::string(slashes, '/') + std::to_string(i) + R"("})";
  };
  const std::string head = R"({"provider":"CAPTURE_ONE","catalogId":"c","destination":"out",)"
                           R"("items":[)";
  std::size_t fixed = head.size() + 2;
  for (int i = 0; i < kItems; ++i) fixed += itemOf(i, 0).size() + (i > 0 ? 1 : 0);
  const std::size_t slashes = (kLargestRequestFile - 1 - fixed) / (2 * kItems);
  std::string request = head;
  for (int i = 0; i < kItems; ++i) {
    if (i > 0) request += ',';
    request += itemOf(i, slashes);
  }
  request += "]}";
  EXPECT_LT(request.size(), kLargestRequestFile);
  EXPECT_GT(request.size(), kLargestRequestFile - 2 * kItems);
  return request;
}

}  // namespace quillmere::testing
