#include "app/command_line.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace quillmere {
namespace {

using testing::readFile;
using testing::TempDir;

TEST(InformationRequest, OnlyALoneHelpOrVersionIsAnswered) {
  const struct {
    std::vector<const char*> argv;
    InformationRequest asked;
  } cases[] = {
      {{"bridge", "--help"}, InformationRequest::help},
      {{"bridge", "--version"}, InformationRequest::version},
      {{"bridge"}, InformationRequest::none},
      {{"bridge", "--help", "extra"}, InformationRequest::none},
      {{"bridge", "--version", "--help"}, InformationRequest::none},
      {{"bridge", "a.jpg", "--help"}, InformationRequest::none},
      {{"bridge", "--request", "--help", "--version"}, InformationRequest::none},
      {{"bridge", "-h"}, InformationRequest::none},
      {{"bridge", "-v"}, InformationRequest::none},
      {{"bridge", "--Help"}, InformationRequest::none},
      {{"bridge", "--help="}, InformationRequest::none},
      {{"bridge", "--vers"}, InformationRequest::none},
      {{"bridge", "help"}, InformationRequest::none},
      {{"bridge", "--help "}, InformationRequest::none},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argv.size() > 1 ? c.argv[1] : "(none)");
    EXPECT_EQ(informationRequest(static_cast<int>(c.argv.size()), c.argv.data()), c.asked);
  }
}

TEST(InformationRequest, TheUsageNamesBothModesAndTheManualPage) {
  const std::string usage(usageText());
  EXPECT_NE(usage.find("quillmere-bridge [PHOTO...]"), std::string::npos);
  EXPECT_NE(usage.find("quillmere-bridge --request REQUEST RESULT"), std::string::npos);
  EXPECT_NE(usage.find("quillmere-bridge --verify FOLDER [RESULT]"), std::string::npos);
  // A photographer must not take a clean check for a check of the originals too.
  EXPECT_NE(usage.find("Originals are not checked"), std::string::npos);
  EXPECT_NE(usage.find("man quillmere-bridge"), std::string::npos);
  EXPECT_EQ(usage.back(), '\n');
}

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the real executable with standard output sent to `outPath` and an environment holding no
// display, so that answering must not touch the windowing toolkit.
Outcome runBridge(const std::vector<std::string>& args, const std::string& outPath) {
  TempDir capture;
  const std::string errPath = capture / "err";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  std::vector<char*> argv{const_cast<char*>(QUILLMERE_BRIDGE)};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  char* env[] = {const_cast<char*>("PATH=/usr/bin:/bin"), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, QUILLMERE_BRIDGE, &actions, nullptr, argv.data(), env);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    ADD_FAILURE() << "cannot start " << QUILLMERE_BRIDGE;
    return {};
  }
  Outcome outcome{testing::ChildProcess(pid).wait().value_or(-1), "", readFile(errPath)};
  if (outPath != "/dev/full") outcome.out = readFile(outPath);
  return outcome;
}

TEST(InformationRequest, TheProgramPrintsTheTextAskedForAndSucceeds) {
  TempDir dir;
  const Outcome help = runBridge({"--help"}, dir / "out");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out, usageText());
  EXPECT_EQ(help.err, "");

  const Outcome version = runBridge({"--version"}, dir / "out");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, versionText());
  EXPECT_TRUE(
      std::regex_match(version.out, std::regex("quillmere-bridge [0-9]+\\.[0-9]+\\.[0-9]+\n")))
      << version.out;
  EXPECT_EQ(version.err, "");
}

TEST(InformationRequest, AnOutputThatCannotTakeTheTextIsAFailure) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no writable /dev/full here";
  for (const char* option : {"--help", "--version"}) {
    SCOPED_TRACE(option);
    const Outcome r = runBridge({option}, "/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
  }
}

TEST(RunMode, OptionsAreNeverTakenForFiles) {
  const struct {
    std::vector<const char*> argv;
    RunMode mode;
  } cases[] = {
      {{"bridge"}, RunMode::window},
      {{"bridge", "a.jpg", "b.tif"}, RunMode::window},
      {{"bridge", "-a.jpg", "-"}, RunMode::window},  // one dash: a file's name
      {{"bridge", "./--odd.jpg"}, RunMode::window},
      {{"bridge", "--help"}, RunMode::information},
      {{"bridge", "--request", "req.json", "res.json"}, RunMode::request},
      {{"bridge", "--request", "", ""}, RunMode::request},  // empty paths are the mode's to refuse
      {{"bridge", "-request", "req.json", "res.json"}, RunMode::window},  // three files
      {{"bridge", "--request=req.json", "res.json", "x"}, RunMode::misuse},
      {{"bridge", "a.jpg", "--request", "res.json"}, RunMode::misuse},
      {{"bridge", "--request", "req.json"}, RunMode::misuse},  // the result path forgotten
      {{"bridge", "--request"}, RunMode::misuse},
      {{"bridge", "--request", "req.json", "res.json", "x"}, RunMode::misuse},
      {{"bridge", "--verify", "batch"}, RunMode::verify},
      {{"bridge", "--verify", "batch", "res.json"}, RunMode::verify},
      {{"bridge", "--verify"}, RunMode::misuse},
      {{"bridge", "--verify", "a", "b", "c"}, RunMode::misuse},
      {{"bridge", "--reqest", "req.json", "res.json"}, RunMode::misuse},
      {{"bridge", "--Request", "req.json", "res.json"}, RunMode::misuse},
      {{"bridge", "--request=req.json", "res.json"}, RunMode::misuse},
      {{"bridge", "a.jpg", "--request", "req.json", "res.json"}, RunMode::misuse},
      {{"bridge", "--help", "extra"}, RunMode::misuse},
      {{"bridge", "a.jpg", "--"}, RunMode::misuse},
  };
  for (const auto& c : cases) {
    std::string line;
    for (const char* a : c.argv) line += std::string(a) + " ";
    SCOPED_TRACE(line);
    EXPECT_EQ(runModeOf(static_cast<int>(c.argv.size()), c.argv.data()), c.mode);
  }
}

// A mistyped command answers with the one usage line and status 2 at once, with no display
// needed: the window never opens for it, and nothing is created.
TEST(RunMode, MisuseIsOneLineOnStandardErrorAndStatusTwo) {
  TempDir dir;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--request", dir / "req.json"},
        std::vector<std::string>{"--frobnicate", dir / "a.jpg"}}) {
    SCOPED_TRACE(args[0]);
    const Outcome r = runBridge(args, dir / "out");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, misuseLine());
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(std::string(misuseLine()).find('\n'), misuseLine().size() - 1);
}

}  // namespace
}  // namespace quillmere
