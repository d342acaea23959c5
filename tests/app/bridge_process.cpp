#include "app/bridge_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>

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
  std::vector<char*> env;
  if (std::none_of(options.environment.begin(), options.environment.end(),
                   [](const std::string& v) { return v.starts_with("PATH="); })) {
    env.push_back(const_cast<char*>("PATH=/usr/bin:/bin"));
  }
  for (const auto& variable : options.environment) env.push_back(const_cast<char*>(variable.c_str()));
  env.push_back(nullptr);
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
    execve(program, argv.data(), env.data());
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

namespace {

// Whether a run got to start the program: too little even to load its libraries is no run.
bool startedTheProgram(const Outcome& outcome) {
  return outcome.status != 127 ||
         outcome.err.find("error while loading shared libraries") == std::string::npos;
}

}  // namespace

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
    if (!startedTheProgram(outcome)) continue;
    ++started;
    EXPECT_GE(outcome.status, 0) << "ended by signal " << -outcome.status << ": " << outcome.err;
    if (!judge(outcome)) break;
  }
  return started;
}

rlim_t lowestLimitToStart(int resource, rlim_t lowest, rlim_t highest, rlim_t resolution) {
  const TempDir cwd;
  const auto starts = [&](rlim_t value) {
    BridgeOptions options;
    options.limits = {{resource, value}};
    const Outcome outcome = runBridge({"--version"}, cwd.path(), options);
    EXPECT_GE(outcome.status, 0) << "--version under " << value << " ended by signal "
                                 << -outcome.status << ": " << outcome.err;
    return startedTheProgram(outcome);
  };
  if (starts(lowest)) return lowest;
  rlim_t from = lowest, to = highest;  // no start at `from`, a start at `to`
  while (to - from > resolution) {
    const rlim_t middle = from + (to - from) / resolution / 2 * resolution;
    if (starts(middle)) {
      to = middle;
    } else {
      from = middle;
    }
  }
  return to;
}

int acrossLimits(int resource, rlim_t floor, rlim_t highest, rlim_t resolution,
                 const std::function<Outcome(const BridgeOptions&)>& run,
                 const std::function<void(const Outcome&)>& judge) {
  struct Ran {
    bool started;
    bool succeeded;
  };
  std::map<rlim_t, Ran> ran;
  int started = 0;
  // Runs under `value` once, however often the search comes to it.
  const auto under = [&](rlim_t value) -> Ran {
    if (const auto found = ran.find(value); found != ran.end()) return found->second;
    Ran result{false, false};
    underEachLimit(resource, value, value, resolution, run, [&](const Outcome& outcome) {
      result = {true, outcome.status == 0};
      judge(outcome);
      return true;
    });
    if (result.started) ++started;
    ran.emplace(value, result);
    return result;
  };
  const auto middle = [&](rlim_t from, rlim_t to) {
    return from + (to - from) / resolution / 2 * resolution;
  };

  // This run's own floor, where it just starts and not one step lower: its arguments and what it
  // opens first may need a little more or less than --version.
  while (floor <= highest && !under(floor).started) floor += resolution;
  if (floor > highest) {
    ADD_FAILURE() << "the program does not start even under the highest limit, " << highest;
    return started;
  }
  while (floor >= resolution && under(floor - resolution).started) floor -= resolution;

  // The first success: searched for at twice the distance from the last failure each time (so
  // the runs are dense just above the floor and spread wider further up), then narrowed down to
  // `resolution` from the failure below it.
  rlim_t failed = floor;
  std::optional<rlim_t> succeeded;
  if (under(floor).succeeded) succeeded = floor;
  for (rlim_t distance = resolution; !succeeded && failed + distance <= highest; distance *= 2) {
    if (under(failed + distance).succeeded) {
      succeeded = failed + distance;
    } else {
      failed += distance;
    }
  }
  while (succeeded && *succeeded - failed > resolution) {
    const rlim_t value = middle(failed, *succeeded);
    if (under(value).succeeded) {
      succeeded = value;
    } else {
      failed = value;
    }
  }
  const rlim_t top = succeeded.value_or(highest);

  // Just above the floor, where the doubling distances left a step out, and two values at
  // random between the floor and the first success.
  under(std::min(floor + 2 * resolution, top));
  const rlim_t steps = (top - floor) / resolution;
  std::mt19937_64 random{std::random_device{}()};
  for (int i = 0; i < 2; ++i) {
    under(floor + std::uniform_int_distribution<rlim_t>(0, steps)(random) * resolution);
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
