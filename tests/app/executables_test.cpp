// The program's two executables: quillmere-bridge answers --help, --version, request mode and
// --verify without loading any of the window's libraries, and hands window mode and the picture
// workers to the window executable, which it finds from its own real path alone.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/bridge_process.h"
#include "support/images.h"
#include "support/temp_dir.h"
#include "window_logic/window_texts.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using testing::BridgeOptions;
using testing::BridgeProcess;
using testing::Outcome;
using testing::readFile;
using testing::runBridge;
using testing::TempDir;
using testing::writeFile;

// Libraries only the window needs: the toolkit, the raw decoder, colour management, the sandbox.
constexpr const char* kWindowLibraries[] = {"libQt6", "libraw", "liblcms2", "libseccomp"};

// What a shell command prints on standard output.
std::string commandOutput(const std::string& command) {
  const std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  std::string out;
  if (!pipe) return out;
  char buffer[4096];
  while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe.get())) out.append(buffer, n);
  return out;
}

const std::string kNoDisplayLine = std::string(texts::kNoDisplay) + "\n";

TEST(Executables, TheProgramIsLinkedWithoutTheWindowsLibraries) {
  // Every library the loader would load, those the direct ones bring included.
  const std::string libraries = commandOutput("ldd '" QUILLMERE_BRIDGE "' 2>&1");
  ASSERT_NE(libraries.find("libc.so"), std::string::npos) << libraries;
  for (const char* library : kWindowLibraries) {
    EXPECT_EQ(libraries.find(library), std::string::npos) << library << " in\n" << libraries;
  }
#ifdef QUILLMERE_BRIDGE_WINDOW
  // The names looked for are the ones the window executable really has.
  const std::string window = commandOutput("ldd '" QUILLMERE_BRIDGE_WINDOW "' 2>&1");
  EXPECT_NE(window.find("libQt6Widgets"), std::string::npos) << window;
  EXPECT_NE(window.find("libraw"), std::string::npos) << window;
#endif
}

// Each run's loader reports every library it loads into a file named after the process, so what
// a run loaded is known however briefly it ran, and a run that replaced itself by another
// executable leaves both executables' libraries in the one file of its one process.
class ProgramLibraries : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(m_dir / "out");
    m_batch = testing::saveTwoRenderBatch(m_dir.path());
    writeFile(m_dir / "render.png", testing::pngImage(4, 3));
    writeFile(m_dir / "original.raw", "original");
    writeFile(m_dir / "req.json",
              R"({"provider":"CAPTURE_ONE","catalogId":"c","destination":"out","items":[)"
              R"({"sourcePath":"original.raw","renderPath":"render.png",)"
              R"("externalPhotoId":"p","externalVariantId":"v"}]})");
  }

  // Runs the program with `args` and answers what the loader loaded.
  std::string loadedBy(const std::vector<std::string>& args, Outcome& outcome) {
    BridgeOptions options;
    options.environment = {"LD_DEBUG=libs", "LD_DEBUG_OUTPUT=" + (m_dir / "loader")};
    BridgeProcess bridge(args, m_dir.path(), options);
    const std::string log = m_dir / ("loader." + std::to_string(bridge.pid()));
    outcome = bridge.finish();
    if (!fs::exists(log)) return {};
    return readFile(log);
  }

  TempDir m_dir;
  std::string m_batch;
};

TEST_F(ProgramLibraries, EveryModeWithoutAWindowRunsWithoutItsLibraries) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    int status;
  } cases[] = {
      {"--version", {"--version"}, 0},
      {"--help", {"--help"}, 0},
      {"a request", {"--request", "req.json", "res.json"}, 0},
      {"--verify", {"--verify", m_batch}, 0},
      {"--verify with a result file", {"--verify", m_batch, "verify.json"}, 0},
      {"misuse", {"--verify"}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome outcome;
    const std::string loaded = loadedBy(c.args, outcome);
    EXPECT_EQ(outcome.status, c.status) << outcome.err;
    ASSERT_NE(loaded.find("libc.so"), std::string::npos) << "the loader reported nothing";
    for (const char* library : kWindowLibraries) {
      EXPECT_EQ(loaded.find(library), std::string::npos) << library << " loaded";
    }
  }
  // The request's batch was saved for real, and checked for real.
  const auto result = nlohmann::json::parse(readFile(m_dir / "res.json"));
  EXPECT_EQ(result["count"], 1);
  EXPECT_TRUE(fs::exists(result["directory"].get<std::string>() + "/.quillmere-manifest.json"));
  EXPECT_EQ(readFile(m_dir / "verify.json"), R"({"count":2,"problems":[]})");
}

#ifdef QUILLMERE_BRIDGE_WINDOW
// The window and the picture workers run the window executable in the same process, with the
// same environment: its libraries appear in the loader's report of the process started, which
// only the environment told where to write.
TEST_F(ProgramLibraries, TheWindowAndPictureWorkersRunTheWindowExecutableInTheSameProcess) {
  Outcome outcome;
  std::string loaded = loadedBy({}, outcome);
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err, kNoDisplayLine);
  EXPECT_NE(loaded.find("libQt6Widgets"), std::string::npos);

  // Without the window's channel the worker has nobody to serve and ends, having loaded its
  // decoders.
  loaded = loadedBy({"--picture-worker"}, outcome);
  EXPECT_NE(outcome.status, 0);
  EXPECT_NE(loaded.find("libQt6Gui"), std::string::npos);
  EXPECT_EQ(outcome.err, "");
}

// The window executable is found from the program's real path: a link to the program elsewhere
// (as a package may place one) still opens the window.
TEST(Executables, AProgramStartedThroughALinkFindsItsWindow) {
  TempDir dir;
  fs::create_symlink(QUILLMERE_BRIDGE, dir / "quillmere-bridge");
  BridgeOptions options;
  options.program = dir / "quillmere-bridge";
  const Outcome outcome = runBridge({"photo.jpg"}, dir.path(), options);
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err, kNoDisplayLine);
}
#endif

// Without a window executable it may start, the program says so in one line naming the file and
// the reason, and ends with status 1: never a window mode that silently does nothing, and never
// another program of that name found on PATH.
TEST(Executables, WithoutItsWindowExecutableTheProgramNamesTheFileAndWhy) {
  constexpr auto kExecutable = fs::perms::owner_all | fs::perms::group_read |
                               fs::perms::group_exec | fs::perms::others_read |
                               fs::perms::others_exec;
  const struct {
    const char* name;
    bool beside;  // the file named is the one beside the program
    const char* reason;
    fs::perms mode;
    bool folder;
  } cases[] = {
      {"none anywhere, one on PATH", false, "没有那个文件或目录（ENOENT）", kExecutable, false},
      {"one beside it, not executable", true, "没有访问权限（EACCES）",
       fs::perms::owner_read | fs::perms::owner_write, false},
      {"a folder beside it", true, "没有访问权限（EACCES）", kExecutable, true},
  };
  for (const auto& c : cases) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"photo.jpg"}, {"--picture-worker"}}) {
      SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(args.size()) + " arguments");
      TempDir dir;
      fs::create_directory(dir / "bin");
      fs::create_directory(dir / "on-path");
      fs::copy_file(QUILLMERE_BRIDGE, dir / "bin/quillmere-bridge");
      // A program of the window's name that would leave a mark if it ever ran.
      const std::string script = "#!/bin/sh\ntouch '" + (dir / "ran") + "'\n";
      const std::string beside = dir / "bin/quillmere-bridge-window";
      writeFile(dir / "on-path/quillmere-bridge-window", script);
      fs::permissions(dir / "on-path/quillmere-bridge-window", kExecutable);
      if (c.folder) {
        fs::create_directory(beside);
      } else if (c.beside) {
        writeFile(beside, script);
      }
      if (c.beside) fs::permissions(beside, c.mode);

      BridgeOptions options;
      options.program = dir / "bin/quillmere-bridge";
      options.environment = {"PATH=" + (dir / "on-path") + ":/usr/bin:/bin"};
      const Outcome outcome = runBridge(args, dir.path(), options);
      EXPECT_EQ(outcome.status, 1);
      EXPECT_EQ(outcome.out, "");
      EXPECT_FALSE(fs::exists(dir / "ran"));
      const std::string opening = "无法启动图形界面程序“";
      const std::string closing = std::string("”：") + c.reason + "\n";
      ASSERT_TRUE(outcome.err.starts_with(opening) && outcome.err.ends_with(closing))
          << outcome.err;
      const std::string named = outcome.err.substr(
          opening.size(), outcome.err.size() - opening.size() - closing.size());
      if (c.beside) {
        EXPECT_EQ(named, beside);
      } else {
        // The installed place, said plainly.
        EXPECT_TRUE(named.starts_with(dir.path() + "/")) << named;
        EXPECT_TRUE(named.ends_with("/quillmere-bridge/quillmere-bridge-window")) << named;
        EXPECT_EQ(named.find("/../"), std::string::npos) << named;
        EXPECT_EQ(named.find("/on-path/"), std::string::npos) << named;
      }
    }
  }
}

}  // namespace
}  // namespace quillmere
