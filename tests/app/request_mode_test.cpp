#include "app/request_mode.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/images.h"
#include "support/temp_dir.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::readFile;
using testing::writeFile;

TEST(ModeSelection, OnlyTheExactFourEntryFormIsRequestMode) {
  const struct {
    std::vector<const char*> argv;
    bool request;
  } cases[] = {
      {{"bridge", "--request", "req.json", "res.json"}, true},
      {{"bridge", "--request", "", ""}, true},
      {{"bridge"}, false},
      {{"bridge", "--request", "req.json"}, false},
      {{"bridge", "--request", "req.json", "res.json", "extra"}, false},
      {{"bridge", "--Request", "req.json", "res.json"}, false},
      {{"bridge", "--request=req.json", "res.json", "x"}, false},
      {{"bridge", "-request", "req.json", "res.json"}, false},
      {{"bridge", "a.jpg", "--request", "res.json"}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argv.size());
    EXPECT_EQ(isRequestMode(static_cast<int>(c.argv.size()), c.argv.data()), c.request);
  }
}

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the real executable in `cwd` with no display and nothing inherited from the environment.
Outcome runBridge(const std::vector<std::string>& args, const std::string& cwd) {
  TempDir capture;
  const std::string outPath = capture / "out", errPath = capture / "err";
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, 1);
    dup2(err, 2);
    if (chdir(cwd.c_str()) != 0) _exit(120);
    std::vector<char*> argv{const_cast<char*>(QUILLMERE_BRIDGE)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    char* env[] = {const_cast<char*>("PATH=/usr/bin:/bin"), nullptr};
    execve(QUILLMERE_BRIDGE, argv.data(), env);
    _exit(121);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return Outcome{WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(outPath), readFile(errPath)};
}

class RequestMode : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directory(m_dir / "out"); }

  // A valid request with relative paths, as a caller in m_dir would write it.
  std::string validRequest() {
    writeFile(m_dir / "render.png", testing::pngImage(4, 3));
    writeFile(m_dir / "original.raw", "original");
    return R"({"provider":"CAPTURE_ONE","catalogId":"c","destination":"out","items":[)"
           R"({"sourcePath":"original.raw","renderPath":"render.png","externalPhotoId":"p","externalVariantId":"v"}]})";
  }

  Outcome run(const std::string& request, const std::string& result = "res.json") {
    return runBridge({"--request", request, result}, m_dir.path());
  }

  nlohmann::json result(const std::string& name = "res.json") {
    return nlohmann::json::parse(readFile(m_dir / name));
  }

  TempDir m_dir;
};

TEST_F(RequestMode, ASuccessfulBatchAnswersZeroAndItsFolder) {
  writeFile(m_dir / "req.json", validRequest());
  const Outcome r = run("req.json");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  const auto json = result();
  EXPECT_EQ(json.size(), 2u);
  EXPECT_EQ(json["count"], 1);
  const std::string folder = json["directory"];
  EXPECT_EQ(fs::path(folder).parent_path(), m_dir / "out");
  EXPECT_TRUE(fs::exists(folder + "/.quillmere-manifest.json"));
}

TEST_F(RequestMode, FailuresAreAnsweredInTheResultFileWithStatusOne) {
  const std::string valid = validRequest();
  std::string padded = valid;
  padded.resize(4'194'304, ' ');
  std::string almost = valid;
  almost.resize(4'194'303, ' ');
  const struct {
    const char* name;
    std::string request;  // written to req.json unless empty
    const char* path;
    std::string error;    // exact text, or the start of it when it ends in "…"
    int status;
  } cases[] = {
      {"missing request file", "", "nothing.json",
       "无法打开“" + m_dir / "nothing.json" + "”：没有那个文件或目录（ENOENT）", 1},
      {"request path is a folder", "", "out", "无法打开“" + m_dir / "out" + "”：是一个目录（EISDIR）", 1},
      {"empty request file", "", "empty.json", "cannot read the batch request: parse error…", 1},
      {"exactly 4 MiB", padded, "req.json", "本次照片过多，请分批导出。", 1},
      {"4 MiB of anything", std::string(4'194'304, '\0'), "req.json", "本次照片过多，请分批导出。", 1},
      {"not a request", "[]", "req.json", "cannot read the batch request: the document is not an object", 1},
      {"no items", R"({"provider":"CAPTURE_ONE","catalogId":"c","destination":"out","items":[]})",
       "req.json", "每次请选择 1–500 张照片。", 1},
      {"destination gone", R"({"provider":"CAPTURE_ONE","catalogId":"c","destination":"gone","items":[)"
                           R"({"sourcePath":"a","renderPath":"b","externalPhotoId":"p","externalVariantId":"v"}]})",
       "req.json", "请重新选择保存文件夹。", 1},
      {"one byte under 4 MiB is processed", almost, "req.json", "", 0},
  };
  writeFile(m_dir / "empty.json", "");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.request.empty()) writeFile(m_dir / "req.json", c.request);
    writeFile(m_dir / "res.json", "an older result that must be replaced whole");
    const Outcome r = run(c.path);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    const auto json = result();
    if (c.status == 0) {
      EXPECT_FALSE(json.contains("error"));
      continue;
    }
    EXPECT_EQ(json.size(), 2u);
    EXPECT_EQ(json["count"], 0);
    const std::string error = json["error"];
    if (c.error.ends_with("…")) {
      EXPECT_EQ(error.rfind(c.error.substr(0, c.error.size() - 3), 0), 0u) << error;
    } else {
      EXPECT_EQ(error, c.error);
    }
  }
  // Only the one processed request created a batch folder; nothing else touched the destination.
  EXPECT_EQ(std::distance(fs::directory_iterator(m_dir / "out"), fs::directory_iterator()), 1);
}

TEST_F(RequestMode, AnUnsavableResultAnswersTwoWithTheOneLineAndNoFile) {
  writeFile(m_dir / "req.json", validRequest());
  fs::create_directories(m_dir / "taken/inner");
  for (const char* result : {"missing/res.json", "taken"}) {
    SCOPED_TRACE(result);
    const auto before = testing::snapshot(m_dir.path());
    const Outcome r = run("req.json", result);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "无法保存导出结果。\n");
    EXPECT_FALSE(fs::exists(m_dir / "missing"));
    EXPECT_TRUE(fs::is_directory(m_dir / "taken/inner"));
    // The batch itself ran; apart from its new folder, nothing beside the result was left over.
    for (const auto& [path, content] : testing::snapshot(m_dir.path())) {
      if (!before.contains(path)) {
        EXPECT_EQ(path.rfind("out/Quillmere-", 0), 0u) << path;
      }
    }
  }
}

}  // namespace
}  // namespace quillmere
