// Real request-mode batches on a file system that forgets, as a power cut does, everything not yet
// made durable (powercut_fs: the strict persistence model). Each scenario (a caller's steps: maybe
// `mkdir` of the destination, then one or two batches) is first run whole, to count its events
// (every creation, removal, rename and flush), then once more per event, cut just before it; every
// crash state the file system forms at the cut, and at the end of the whole run, is checked:
//   - the destination shows no "Quillmere-" folder, or only ones that --verify accepts in full
//     (hidden staging may stay: the next save clears it);
//   - every batch reported saved before the cut (by a batch that ended, or by the result file the
//     caller could read at the cut) is there and verifies;
//   - no original or render changed;
//   - once a batch has ended and so written its result, that result is the result file (or a
//     later batch's whole one); before, the result file is the earlier one or whole.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/bridge_process.h"
#include "powercut/powercut_mount.h"
#include "records/json.h"
#include "reliability/reliability_support.h"
#include "support/temp_dir.h"
#include "transfer/staging_owner.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::writeFile;

constexpr std::string_view kEarlierResult = "the result of an earlier batch\n";
// A lone pair whose original and render both reach this size is read on two threads, its copy
// flushed and read back while the original is hashed again: the batch's other way of staging.
constexpr std::size_t kTwoThreadPair = 4 << 20;

struct Scenario {
  const char* name;
  bool makesDestination;  // the caller makes dest/ during the run, just before the first batch
  // Each batch's render sizes, the batches run in turn; 0 is a render that is no image, refused
  // mid-batch so that the batch rolls back.
  std::vector<std::vector<std::size_t>> batches;
  std::size_t originalSize = 0;  // 0: originals of a few bytes
};

void PrintTo(const Scenario& s, std::ostream* out) { *out << s.name; }

const Scenario kScenarios[] = {
    {"one small pair", false, {{4096}}},
    {"four pairs, one render of 3 MiB", false, {{4096, 3 << 20, 8192, 16384}}},
    {"a lone large pair read on two threads",
     false,
     {{kTwoThreadPair + 12345}},
     kTwoThreadPair + 777},
    // Enough pairs that, late in the batch, the states of a cut are too many to form every one.
    {"ten small pairs", false, {{4096, 8192, 4096, 12288, 4096, 8192, 4096, 16384, 4096, 8192}}},
    {"a bad render after good ones rolls back", false, {{4096, 8192, 0}}},
    {"a folder made just before, then two batches into it", true, {{4096}, {8192, 4096}}},
};

bool batchSaves(const std::vector<std::size_t>& renderSizes) {
  return std::find(renderSizes.begin(), renderSizes.end(), 0) == renderSizes.end();
}

// Bytes no two inputs share and nowhere zero, so that a copy cut short or zero-filled at its tail
// never passes for the whole one.
std::string patterned(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  unsigned state = seed * 2654435761u + 1;
  for (char& c : bytes) {
    state = state * 1664525u + 1013904223u;
    c = static_cast<char>(1 + (state >> 24) % 255);
  }
  return bytes;
}

std::string render(std::size_t size, int seed) {
  if (size == 0) return "not an image";
  std::string bytes = testing::paddedPng(size, seed);
  const std::size_t end = bytes.find("IEND") + 8;  // the type, then the checksum
  if (end < bytes.size()) {
    bytes.replace(end, std::string::npos,
                  patterned(bytes.size() - end, static_cast<unsigned>(seed) + 1000));
  }
  return bytes;
}

// The mounted tree as the test lays it out: inputs in src/, the batches into dest/ (there from
// the start, or made by the caller), their results in out/ (beside an earlier result they
// replace), the requests outside the mount.
struct Layout {
  std::string templateTree;  // copied afresh as the backing folder of every run
  std::vector<std::string> requests;
  std::vector<BatchRequest> nextSave;         // a request of every good pair, per state's root
  std::map<std::string, std::string> inputs;  // relative path -> bytes
};

Layout makeLayout(const testing::TempDir& dir, const std::string& mount, const Scenario& s) {
  Layout layout;
  layout.templateTree = dir / "template";
  fs::create_directories(layout.templateTree + "/src");
  fs::create_directories(layout.templateTree + "/out");
  if (!s.makesDestination) fs::create_directories(layout.templateTree + "/dest");
  writeFile(layout.templateTree + "/out/result.json", kEarlierResult);
  for (std::size_t b = 0; b < s.batches.size(); ++b) {
    BatchRequest request{"CAPTURE_ONE", "catalog", mount + "/dest", {}};
    for (std::size_t i = 0; i < s.batches[b].size(); ++i) {
      const std::string n = std::to_string(b) + "-" + std::to_string(i);
      const std::string original = "src/original" + n + ".iiq";
      const std::string renderPath = "src/render" + n + ".png";
      const int seed = static_cast<int>(10 * b + i);
      layout.inputs[original] = s.originalSize == 0
                                    ? "original " + n
                                    : patterned(s.originalSize, static_cast<unsigned>(seed));
      layout.inputs[renderPath] = render(s.batches[b][i], seed);
      request.items.push_back(
          {mount + "/" + original, mount + "/" + renderPath, "photo-" + n, "v" + n});
    }
    layout.requests.push_back(dir / ("request-" + std::to_string(b) + ".json"));
    writeFile(layout.requests.back(), toJson(request));
  }
  for (const auto& [path, bytes] : layout.inputs)
    writeFile(layout.templateTree + "/" + path, bytes);
  return layout;
}

std::optional<BatchResult> resultFrom(const std::string& bytes) {
  try {
    return batchResultFromJson(bytes);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

struct RunOutcome {
  bool mounted = false;
  std::string mountError;
  long events = 0;
  std::string statesLine;  // how many crash states the file system formed
  std::vector<std::string> eventLog;
  std::string cutBefore;     // the event the cut came before; empty when none came
  std::vector<int> statuses;  // of the caller's steps that ran, in order
  // The result file as each batch that ended (status 0 or 1) left it, in order.
  std::vector<std::string> resultsWritten;
  bool batchCut = false;                  // whether the cut came in the middle of a batch
  std::optional<std::string> resultAtCut;  // what the caller could read at the cut
};

// One run of the scenario on a fresh copy of the template, cut before event `cutAt`.
RunOutcome runOnce(const testing::TempDir& dir, const Layout& layout, const Scenario& s,
                   long cutAt, const std::string& images) {
  RunOutcome outcome;
  const std::string backing = dir / "backing";
  fs::remove_all(backing);
  fs::remove(images + "/states");
  fs::copy(layout.templateTree, backing, fs::copy_options::recursive);
  const std::string report = dir / "report.txt";
  fs::remove(report);
  {
    testing::PowercutMount mount(backing, images, cutAt, report, dir / "mnt");
    if (!mount.mounted()) {
      outcome.mountError = mount.error();
      return outcome;
    }
    outcome.mounted = true;
    // The caller goes on to its next step only when the last one ended by itself.
    const auto ran = [&](int status) {
      outcome.statuses.push_back(status);
      return status != -SIGKILL;
    };
    bool goOn = true;
    if (s.makesDestination) {
      const std::string destination = dir / "mnt/dest";
      testing::ChildProcess mkdir = testing::forkChild([&] {
        return ::mkdir(destination.c_str(), 0755) == 0;
      });
      goOn = ran(testing::waitForExit(mkdir));
    }
    for (std::size_t b = 0; goOn && b < layout.requests.size(); ++b) {
      testing::ChildProcess bridge =
          testing::startBridge({"--request", layout.requests[b], dir / "mnt/out/result.json"},
                               dir.path(), dir / "stderr.txt");
      goOn = ran(testing::waitForExit(bridge));
      if (goOn) {
        outcome.resultsWritten.push_back(readFile(backing + "/out/result.json"));
      } else {
        outcome.batchCut = true;
      }
    }
  }
  std::istringstream lines(readFile(report));
  std::string line;
  while (std::getline(lines, line)) {
    if (line.starts_with("events ")) {
      outcome.events = std::stol(line.substr(7));
    } else if (line.starts_with("states ")) {
      outcome.statesLine = line;
    } else if (line.starts_with("cut before: ")) {
      outcome.cutBefore = line.substr(12);
    } else {
      outcome.eventLog.push_back(line);
    }
  }
  // Every call after the cut failed, so the backing folder holds what the caller saw at the cut.
  if (fs::exists(backing + "/out/result.json")) {
    outcome.resultAtCut = readFile(backing + "/out/result.json");
  }
  return outcome;
}

// One crash state as the file system listed it: relative path -> "D", "F <blob>" or "L <text>".
struct State {
  std::string name;
  std::map<std::string, std::string> entries;
};

std::vector<State> statesIn(const std::string& images) {
  std::vector<State> states;
  std::istringstream lines(readFile(images + "/states"));
  std::string line;
  while (std::getline(lines, line)) {
    if (line.starts_with("state ")) {
      states.push_back(State{line.substr(6), {}});
    } else if (line != "end" && !states.empty()) {
      const std::size_t space = line.rfind(' ');
      states.back().entries[line.substr(space + 1)] = line.substr(0, space);
    }
  }
  return states;
}

// The names directly inside `folder` of a state, sorted.
std::vector<std::string> namesIn(const State& state, const std::string& folder) {
  std::vector<std::string> names;
  const std::string prefix = folder + "/";
  for (auto at = state.entries.lower_bound(prefix);
       at != state.entries.end() && at->first.starts_with(prefix); ++at) {
    const std::string rest = at->first.substr(prefix.size());
    if (rest.find('/') == std::string::npos) names.push_back(rest);
  }
  return names;
}

// Checks the crash states of one run, caching what is the same in many of them: the bytes behind
// a blob and what --verify says of a batch folder of the same name and files.
class StateChecker {
 public:
  StateChecker(const testing::TempDir& dir, const Layout& layout, const std::string& mount,
               const std::string& images)
      : m_dir(dir), m_layout(layout), m_mount(mount), m_blobs(images + "/blobs") {}

  // The violations in `state`, one per line; `verified` counts the complete batches it holds.
  std::string violationsIn(const State& state, const RunOutcome& run, int& verified) {
    std::string problems;
    const auto problem = [&](const std::string& text) { problems += "  " + text + "\n"; };
    std::set<std::string> complete;
    const bool destination = state.entries.count("dest") && state.entries.at("dest") == "D";
    if (destination) {
      for (const std::string& name : namesIn(state, "dest")) {
        if (name.starts_with(".quillmere-partial-")) continue;
        if (!name.starts_with("Quillmere-")) {
          problem("dest/" + name + " is neither a batch folder nor hidden staging");
          continue;
        }
        const std::string why = verifyProblems(state, name);
        if (why.empty()) {
          complete.insert(name);
          ++verified;
        } else {
          problem("dest/" + name + " is visible but incomplete: " + why);
        }
      }
    }
    for (const auto& [path, bytes] : m_layout.inputs) {
      const auto entry = state.entries.find(path);
      if (entry == state.entries.end() || !entry->second.starts_with("F ") ||
          blob(entry->second.substr(2)) != bytes) {
        problem(path + " changed");
      }
    }
    const auto requireSaved = [&](const std::string& resultBytes, const std::string& said) {
      const std::optional<BatchResult> result = resultFrom(resultBytes);
      if (!result || !result->directory) return;
      const std::string prefix = m_mount + "/dest/";
      if (!result->directory->starts_with(prefix)) {
        problem(said + " names " + *result->directory + ", outside the destination");
        return;
      }
      const std::string name = result->directory->substr(prefix.size());
      if (!destination) {
        problem(said + " reported " + name + " saved, but the destination folder is gone");
      } else if (!complete.count(name)) {
        problem(said + " reported " + name + " saved, but a power cut took it away");
      }
    };
    for (std::size_t b = 0; b < run.resultsWritten.size(); ++b) {
      requireSaved(run.resultsWritten[b], "batch " + std::to_string(b + 1) + ", ended before the cut,");
    }
    if (run.resultAtCut) requireSaved(*run.resultAtCut, "the result file read at the cut");

    const auto entry = state.entries.find("out/result.json");
    std::optional<std::string> result;
    if (entry != state.entries.end() && entry->second.starts_with("F ")) {
      result = blob(entry->second.substr(2));
    }
    const bool whole = result && resultFrom(*result);
    if (result && *result != kEarlierResult && !whole) {
      problem("the result file is neither the earlier one nor whole: \"" + *result + "\"");
    }
    if (whole) requireSaved(*result, "the result file left");
    if (!run.resultsWritten.empty() && result != run.resultsWritten.back() &&
        !(run.batchCut && whole)) {
      // A batch that ended has written its result: it must not be lost, and only a later
      // batch's may have replaced it.
      problem("the result file is " +
              (!result                     ? std::string("absent")
               : *result == kEarlierResult ? std::string("the earlier one")
                                           : "\"" + *result + "\"") +
              ", though batch " + std::to_string(run.resultsWritten.size()) +
              " ended with its result written before the cut");
    }
    return problems;
  }

  // Makes `state` a real tree at `root`, for a save to run in.
  void materialise(const State& state, const std::string& root, const std::string& under = "") {
    fs::remove_all(root);
    fs::create_directories(root);
    for (const auto& [path, what] : state.entries) {
      if (!under.empty() && !path.starts_with(under + "/")) continue;
      const std::string target = root + "/" + (under.empty() ? path : path.substr(under.size() + 1));
      if (what == "D") {
        if (path != ".") fs::create_directories(target);
      } else if (what.starts_with("F ")) {
        fs::copy_file(m_blobs + "/" + what.substr(2), target);
      } else {
        ADD_FAILURE() << "a link in a crash state, which this test never makes: " << path;
      }
    }
  }

 private:
  const std::string& blob(const std::string& name) {
    const auto found = m_blobBytes.find(name);
    if (found != m_blobBytes.end()) return found->second;
    return m_blobBytes[name] = readFile(m_blobs + "/" + name);
  }

  // What `--verify` says of a batch folder of a state: "" when it accepts it in full.
  std::string verifyProblems(const State& state, const std::string& name) {
    const std::string folder = "dest/" + name;
    std::string key = name + "\n";
    for (auto at = state.entries.lower_bound(folder + "/");
         at != state.entries.end() && at->first.starts_with(folder + "/"); ++at) {
      key += at->first.substr(folder.size()) + " " + at->second + "\n";
    }
    const auto found = m_verdicts.find(key);
    if (found != m_verdicts.end()) return found->second;
    // The folder's name is part of what --verify checks.
    const std::string copy = m_dir / ("verify/" + name);
    materialise(state, copy, folder);
    const testing::Outcome verify = testing::runBridge({"--verify", copy}, m_dir.path());
    fs::remove_all(m_dir / "verify");
    std::string said;
    if (verify.status != 0) {
      said = verify.out + verify.err;
      if (said.size() > 300) said = said.substr(0, 300) + "...";
      said = "--verify ended with " + std::to_string(verify.status) + ": " + said;
    }
    return m_verdicts[key] = said;
  }

  const testing::TempDir& m_dir;
  const Layout& m_layout;
  std::string m_mount;
  std::string m_blobs;
  std::map<std::string, std::string> m_blobBytes;
  std::map<std::string, std::string> m_verdicts;
};

// The hidden names a save may leave in the destination and beside the result.
std::string hiddenIn(const std::string& root) {
  std::string hidden;
  for (const std::string folder : {"dest", "out"}) {
    if (!fs::is_directory(root + "/" + folder)) continue;
    for (const std::string& name : testing::namesIn(root + "/" + folder)) {
      if (name.starts_with(".")) hidden += folder + "/" + name + " ";
    }
  }
  return hidden;
}

// Runs the next save in a crash state made real at `root` (its own copies of the inputs, into
// its destination, made again when a cut took it, the result beside the old one) and answers
// what hidden leftovers it did not clear.
std::string leftAfterTheNextSave(const testing::TempDir& dir, const Scenario& s,
                                 const std::string& root) {
  BatchRequest request{"CAPTURE_ONE", "catalog", root + "/dest", {}};
  for (std::size_t b = 0; b < s.batches.size(); ++b) {
    for (std::size_t i = 0; i < s.batches[b].size(); ++i) {
      if (s.batches[b][i] == 0) continue;  // the next save is one that succeeds
      const std::string n = std::to_string(b) + "-" + std::to_string(i);
      request.items.push_back({root + "/src/original" + n + ".iiq",
                               root + "/src/render" + n + ".png", "photo-" + n, "v" + n});
    }
  }
  fs::create_directories(root + "/dest");
  writeFile(dir / "next-request.json", toJson(request));
  const auto save = [&]() -> std::string {
    const testing::Outcome next = testing::runBridge(
        {"--request", dir / "next-request.json", root + "/out/result.json"}, dir.path());
    return next.status == 0 ? "" : "the next save failed: " + next.err;
  };
  if (std::string failed = save(); !failed.empty()) return failed;
  // At once, only what names no owner may stay (a record the cut left unwritten proves nothing):
  // nothing proves it dead until it has been left alone for long. Whatever names its (killed)
  // owner, in the folder or beside it, goes.
  const auto namesOwner = [](const std::string& record) {
    return fs::is_regular_file(record) && decodeOwnerRecord(readFile(record)).has_value();
  };
  std::string left;
  for (const std::string& name : testing::namesIn(root + "/dest")) {
    const std::string entry = root + "/dest/" + name;
    if (!name.starts_with(".")) continue;
    if (namesOwner(entry) || namesOwner(entry + "/.quillmere-staging-owner") ||
        namesOwner(entry + ".owner")) {
      left += "dest/" + name + " ";
    }
  }
  if (!left.empty()) return "left after the next save, though its owner is gone: " + left;
  // An hour and more later, nothing hidden stays.
  const struct timespec longAgo[2] = {{0, UTIME_OMIT}, {std::time(nullptr) - 7200, 0}};
  for (const auto& entry : fs::recursive_directory_iterator(root + "/dest")) {
    ::utimensat(AT_FDCWD, entry.path().c_str(), longAgo, AT_SYMLINK_NOFOLLOW);
  }
  if (std::string failed = save(); !failed.empty()) return failed;
  left = hiddenIn(root);
  return left.empty() ? "" : "left after a save an hour later: " + left;
}

class PowerCuts : public ::testing::TestWithParam<Scenario> {};

TEST_P(PowerCuts, EveryCrashStateKeepsThePromises) {
#ifndef QUILLMERE_POWERCUT_FS
  GTEST_SKIP() << "built without libfuse3: the power-cut file system could not be built";
#else
  const Scenario& s = GetParam();
  testing::TempDir dir;
  const std::string mount = dir / "mnt";
  fs::create_directory(mount);
  const Layout layout = makeLayout(dir, mount, s);
  const std::string images = dir / "images";

  const RunOutcome whole = runOnce(dir, layout, s, LONG_MAX, images);
  if (!whole.mounted) {
    GTEST_SKIP() << "cannot mount the power-cut file system here (it needs /dev/fuse and the "
                    "right to mount): "
                 << whole.mountError;
  }
  std::vector<int> expected;
  if (s.makesDestination) expected.push_back(0);
  for (const auto& batch : s.batches) expected.push_back(batchSaves(batch) ? 0 : 1);
  ASSERT_EQ(whole.statuses, expected) << readFile(dir / "stderr.txt");
  ASSERT_EQ(whole.resultsWritten.size(), s.batches.size());
  for (std::size_t b = 0; b < s.batches.size(); ++b) {
    const std::optional<BatchResult> result = resultFrom(whole.resultsWritten[b]);
    ASSERT_TRUE(result) << whole.resultsWritten[b];
    ASSERT_EQ(result->directory.has_value(), batchSaves(s.batches[b])) << whole.resultsWritten[b];
  }
  ASSERT_GT(whole.events, 0);

  StateChecker checker(dir, layout, mount, images);
  long states = 0, cutsEverySubset = 0, cutsSampled = 0;
  int verifiedBatches = 0;  // complete batch folders found in the states
  int nextSaves = 0;        // crash states a next save was run in
  int hiddenLeft = 0;       // ... of which a cut left hidden staging or a temporary file in
  int violating = 0;
  std::string violations;   // the first few, in full
  const auto checkStates = [&](const RunOutcome& run, const std::string& when) {
    ASSERT_TRUE(run.statesLine.starts_with("states ")) << when << ": no states formed";
    (run.statesLine.find(" every-subset") != std::string::npos ? cutsEverySubset : cutsSampled)++;
    for (const State& state : statesIn(images)) {
      ++states;
      std::string found = checker.violationsIn(state, run, verifiedBatches);
      // What a power cut (or a kill) left, the next save clears.
      if (state.name == "durable" || state.name == "live") {
        ++nextSaves;
        const std::string root = dir / "state";
        checker.materialise(state, root);
        if (!hiddenIn(root).empty()) ++hiddenLeft;
        const std::string left = leftAfterTheNextSave(dir, s, root);
        if (!left.empty()) found += "  " + left + "\n";
      }
      if (found.empty()) continue;
      if (++violating <= 5) violations += when + ", state " + state.name + ":\n" + found;
    }
  };
  checkStates(whole, "after the whole run");
  for (long k = 0; k < whole.events; ++k) {
    const RunOutcome run = runOnce(dir, layout, s, k, images);
    ASSERT_TRUE(run.mounted) << run.mountError;
    const std::string when =
        "cut " + std::to_string(k) + " (before " +
        (run.cutBefore.empty() ? std::string("nothing: the run ended first") : run.cutBefore) + ")";
    if (!run.cutBefore.empty()) {
      EXPECT_EQ(run.statuses.back(), -SIGKILL) << when;
    }
    checkStates(run, when);
  }
  std::cout << s.name << ": " << whole.events << " events, " << whole.events + 1 << " cuts ("
            << cutsEverySubset << " with every subset formed, " << cutsSampled
            << " sampled), " << states << " distinct crash states checked, " << verifiedBatches
            << " complete batch folders found in them; a next save run in " << nextSaves
            << " of them (" << hiddenLeft << " with hidden leftovers) left nothing hidden; "
            << violating << " violating\n";
  // The cuts did reach the batches: some states hold one (and none may, when all roll back).
  const bool anySaved = std::any_of(s.batches.begin(), s.batches.end(), batchSaves);
  if (anySaved) {
    EXPECT_GT(verifiedBatches, 0);
  } else {
    EXPECT_EQ(verifiedBatches, 0);
  }
  ::testing::Test::RecordProperty("states", static_cast<int>(states));
  EXPECT_EQ(violating, 0) << violations << "events of the whole run:\n" << [&] {
    std::string log;
    for (const std::string& e : whole.eventLog) log += "  " + e + "\n";
    return log;
  }();
#endif
}

INSTANTIATE_TEST_SUITE_P(Batches, PowerCuts, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                           std::string name;
                           for (const char* p = info.param.name; *p; ++p) {
                             if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
                           }
                           return name;
                         });

}  // namespace
}  // namespace quillmere
