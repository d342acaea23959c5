#include "app/request_mode.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "app/bridge_process.h"
#include "support/images.h"
#include "support/temp_dir.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using testing::Outcome;
using testing::readFile;
using testing::runBridge;
using testing::TempDir;
using testing::writeFile;

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
      {"empty request file", "", "empty.json", "无法读取导出请求：内容在第 1 行第 1 列意外结束。", 1},
      {"exactly 4 MiB", padded, "req.json", "本次照片过多，请分批导出。", 1},
      {"4 MiB of anything", std::string(4'194'304, '\0'), "req.json", "本次照片过多，请分批导出。", 1},
      {"not a request", "[]", "req.json", "无法读取导出请求：内容 不是 JSON 对象。", 1},
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

TEST_F(RequestMode, ASaveIntoAnEarlierBatchIsRefusedWithStatusOneAndTheBatchStillVerifies) {
  writeFile(m_dir / "req.json", validRequest());
  ASSERT_EQ(run("req.json").status, 0);
  const std::string earlier = result()["directory"];
  fs::create_directory(earlier + "/inner");
  for (const std::string& inside : {earlier, earlier + "/inner"}) {
    SCOPED_TRACE(inside);
    nlohmann::json request = nlohmann::json::parse(validRequest());
    request["destination"] = inside;
    writeFile(m_dir / "req.json", request.dump());
    const Outcome r = run("req.json");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(result()["error"], "所选的保存文件夹是已有的批次“" + earlier +
                                     "”或位于其中，保存到这里会损坏这个批次。请改选它所在的文件夹“" +
                                     (m_dir / "out") + "”。");
  }
  fs::remove(earlier + "/inner");
  EXPECT_EQ(runBridge({"--verify", earlier}, m_dir.path()).status, 0);
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

bool folderIsEmpty(const std::string& path) { return fs::is_empty(path); }

// Names in `folder` that are hidden temporary files of a result, left behind.
std::vector<std::string> leftTemporaryFiles(const std::string& folder) {
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.find(".tmp-") != std::string::npos) left.push_back(name);
  }
  return left;
}

// Regression: the result was written beside its path and renamed over it, so a link became a
// plain file while its target kept the old text, and a FIFO or device was replaced by a file; and
// a long name made the temporary name too long, answering 2 after the batch had been saved.
TEST_F(RequestMode, TheResultPathIsHonouredNeverReplaced) {
  writeFile(m_dir / "req.json", validRequest());
  const std::string longName = std::string(250, 'r') + ".json";  // 255 bytes, NAME_MAX
  const std::string dir = m_dir.path();
  const struct {
    const char* name;
    std::string result;
    std::function<void()> setUp;
    int status;
    std::function<void(const Outcome&)> check;
  } cases[] = {
      {"a link to a file: the target is replaced, the link stays", "res.json",
       [&] {
         writeFile(m_dir / "real.json", "old");
         fs::create_symlink("real.json", m_dir / "res.json");
       },
       0,
       [&](const Outcome&) {
         EXPECT_EQ(fs::read_symlink(m_dir / "res.json"), "real.json");
         EXPECT_TRUE(nlohmann::json::parse(readFile(m_dir / "real.json")).contains("directory"));
       }},
      {"a chain of relative links", "res.json",
       [&] {
         fs::create_directory(m_dir / "sub");
         writeFile(m_dir / "real.json", "old");
         fs::create_symlink("sub/hop", m_dir / "res.json");
         fs::create_symlink("../real.json", m_dir / "sub/hop");
       },
       0,
       [&](const Outcome&) {
         EXPECT_TRUE(fs::is_symlink(m_dir / "res.json"));
         EXPECT_TRUE(fs::is_symlink(m_dir / "sub/hop"));
         EXPECT_TRUE(nlohmann::json::parse(readFile(m_dir / "real.json")).contains("directory"));
         EXPECT_EQ(leftTemporaryFiles(m_dir / "sub"), std::vector<std::string>{});
       }},
      {"a dangling link: the file it names is created", "res.json",
       [&] { fs::create_symlink(m_dir / "made.json", m_dir / "res.json"); }, 0,
       [&](const Outcome&) {
         EXPECT_TRUE(fs::is_symlink(m_dir / "res.json"));
         EXPECT_TRUE(nlohmann::json::parse(readFile(m_dir / "made.json")).contains("directory"));
       }},
      {"a name of 255 bytes", longName, [] {}, 0,
       [&](const Outcome&) {
         EXPECT_TRUE(nlohmann::json::parse(readFile(m_dir / longName)).contains("directory"));
       }},
      {"a link to a folder", "res.json",
       [&] {
         fs::create_directory(m_dir / "folder");
         writeFile(m_dir / "folder/keep", "keep");
         fs::create_directory_symlink("folder", m_dir / "res.json");
       },
       2,
       [&](const Outcome&) {
         EXPECT_TRUE(fs::is_symlink(m_dir / "res.json"));
         EXPECT_EQ(readFile(m_dir / "folder/keep"), "keep");
         EXPECT_EQ(leftTemporaryFiles(m_dir / "folder"), std::vector<std::string>{});
       }},
      {"a FIFO without a reader", "res.fifo",
       [&] { ASSERT_EQ(mkfifo((m_dir / "res.fifo").c_str(), 0600), 0); }, 2,
       [&](const Outcome&) { EXPECT_TRUE(fs::is_fifo(m_dir / "res.fifo")); }},
      {"a device that refuses the bytes", "/dev/full", [] {}, 2,
       [&](const Outcome&) { EXPECT_TRUE(fs::is_character_file("/dev/full")); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.setUp();
    const Outcome r = run("req.json", c.result);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.status == 2 ? "无法保存导出结果。\n" : "");
    c.check(r);
    EXPECT_EQ(leftTemporaryFiles(dir), std::vector<std::string>{});
    for (const char* name : {"res.json", "real.json", "made.json", "res.fifo", "sub", "folder"}) {
      fs::remove_all(m_dir / name);
    }
    fs::remove(m_dir / longName);
  }
}

TEST_F(RequestMode, AFifoWithAReaderReceivesTheResult) {
  writeFile(m_dir / "req.json", validRequest());
  const std::string fifo = m_dir / "res.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Open for reading first, without waiting: the bridge refuses a FIFO that nobody reads.
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  const Outcome r = run("req.json", "res.fifo");
  // A result is far below a pipe's capacity, so it is all there once the bridge has ended.
  std::string received(4096, '\0');
  const ssize_t got = read(reader, received.data(), received.size());
  close(reader);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  ASSERT_GT(got, 0);
  received.resize(static_cast<std::size_t>(got));
  const auto json = nlohmann::json::parse(received);
  EXPECT_TRUE(fs::is_directory(std::string(json["directory"])));
  EXPECT_TRUE(fs::is_fifo(fifo));
}

// Standard output redirected to a file is the caller's open file: the result goes at its end, as
// with any program writing to standard output; replacing the file would lose what >> kept there.
TEST_F(RequestMode, StandardOutputRedirectedToAFileGetsTheResultAtItsEnd) {
  writeFile(m_dir / "req.json", validRequest());
  writeFile(m_dir / "log", "earlier line\n");
  const int log = open((m_dir / "log").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_GE(log, 0);
  testing::BridgeOptions options;
  options.standardOutput = log;
  const Outcome r = runBridge({"--request", "req.json", "/dev/stdout"}, m_dir.path(), options);
  close(log);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  const std::string text = readFile(m_dir / "log");
  ASSERT_EQ(text.rfind("earlier line\n", 0), 0u) << text;
  EXPECT_TRUE(nlohmann::json::parse(text.substr(13)).contains("directory")) << text;
  EXPECT_EQ(leftTemporaryFiles(m_dir.path()), std::vector<std::string>{});
}

TEST_F(RequestMode, ACharacterDeviceIsWrittenIntoNotReplaced) {
  if (geteuid() != 0) GTEST_SKIP() << "only root may replace /dev/null; nothing to show otherwise";
  writeFile(m_dir / "req.json", validRequest());
  const Outcome r = run("req.json", "/dev/null");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

// Ignores SIGPIPE in this test process while it lives, so a writer into a pipe whose reader has
// gone gets EPIPE instead of ending the test.
class IgnoreBrokenPipes {
 public:
  IgnoreBrokenPipes() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &m_previous);
  }
  IgnoreBrokenPipes(const IgnoreBrokenPipes&) = delete;
  IgnoreBrokenPipes& operator=(const IgnoreBrokenPipes&) = delete;
  ~IgnoreBrokenPipes() { sigaction(SIGPIPE, &m_previous, nullptr); }

 private:
  struct sigaction m_previous {};
};

// Writes `bytes` into `fd` on its own thread until done or the reader has gone, then closes it.
class StreamWriter {
 public:
  StreamWriter(int fd, std::string bytes)
      : m_thread([this, fd, bytes = std::move(bytes)] {
          while (m_written < bytes.size()) {
            const ssize_t n = write(fd, bytes.data() + m_written, bytes.size() - m_written);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            m_written += static_cast<std::size_t>(n);
          }
          close(fd);
        }) {}
  StreamWriter(const StreamWriter&) = delete;
  StreamWriter& operator=(const StreamWriter&) = delete;
  // Joins the thread and answers how many bytes went in.
  std::size_t written() {
    if (m_thread.joinable()) m_thread.join();
    return m_written;
  }
  ~StreamWriter() { written(); }

 private:
  std::size_t m_written = 0;
  std::thread m_thread;
};

// Opens a FIFO for writing once a reader has it open, waiting at most ten seconds for one.
int openFifoForWriting(const std::string& path) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      return fd;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ADD_FAILURE() << "nobody opened " << path << " for reading";
  return -1;
}

// Regression: a request through a pipe (--request /dev/stdin, a FIFO, process substitution) was
// refused as not a regular file. It is read to its end with the same limit, and never drained
// past it.
TEST_F(RequestMode, ARequestIsReadFromAPipeOrAFifoWithTheSameLimit) {
  const IgnoreBrokenPipes ignore;
  const std::string valid = validRequest();
  std::string almost = valid;
  almost.resize(4'194'303, ' ');
  const std::string endless = valid + std::string(12 << 20, ' ');
  const struct {
    const char* name;
    bool fifo;
    std::string request;
    std::string error;  // empty for a request that is processed
  } cases[] = {
      {"a pipe", false, valid, ""},
      {"a FIFO", true, valid, ""},
      {"a pipe, one byte under 4 MiB", false, almost, ""},
      {"a pipe, exactly 4 MiB", false, std::string(4'194'304, ' '), "本次照片过多，请分批导出。"},
      {"a pipe far beyond 4 MiB", false, endless, "本次照片过多，请分批导出。"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::size_t written = 0;
    std::size_t capacity = 0;
    Outcome r;
    if (c.fifo) {
      const std::string fifo = m_dir / "req.fifo";
      ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
      testing::BridgeProcess bridge({"--request", "req.fifo", "res.json"}, m_dir.path());
      StreamWriter writer(openFifoForWriting(fifo), c.request);
      r = bridge.finish();
      written = writer.written();
      fs::remove(fifo);
    } else {
      int ends[2];
      ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
      capacity = static_cast<std::size_t>(fcntl(ends[1], F_GETPIPE_SZ));
      testing::BridgeOptions options;
      options.standardInput = ends[0];
      testing::BridgeProcess bridge({"--request", "/dev/stdin", "res.json"}, m_dir.path(), options);
      close(ends[0]);
      StreamWriter writer(ends[1], c.request);
      r = bridge.finish();
      written = writer.written();
    }
    EXPECT_EQ(r.err, "");
    const auto json = result();
    if (c.error.empty()) {
      EXPECT_EQ(r.status, 0);
      EXPECT_TRUE(json.contains("directory")) << json.dump();
      EXPECT_EQ(written, c.request.size());
    } else {
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(json["error"], c.error);
      // The bridge read one byte past the largest request at most; only the pipe's own buffer
      // can have taken more.
      if (!c.fifo) {
        EXPECT_LE(written, 4'194'304 + capacity);
      }
    }
  }
}

// Regression: a NUL cut paths short ("/x/a.jpg\u0000.tif" stored "/x/a.jpg",
// "/etc/shadow\u0000.raw" hashed /etc/shadow), and request bytes after a raw NUL byte were ignored.
TEST_F(RequestMode, ANulInAPathOrTheRequestIsADecodingFailureThatWritesNothing) {
  writeFile(m_dir / "req.json", validRequest());
  const std::string valid = readFile(m_dir / "req.json");
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = valid;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  const std::string withRawNul = valid + std::string(1, '\0') + "]]]";
  const struct {
    const char* name;
    std::string request;
    std::string error;
  } cases[] = {
      {"sourcePath", replaced("original.raw", R"(original.raw\u0000.x)"),
       R"("items"[0]."sourcePath" 含有 NUL 字符)"},
      {"renderPath", replaced("render.png", R"(render.png\u0000.tif)"),
       R"("items"[0]."renderPath" 含有 NUL 字符)"},
      {"destination", replaced(R"("out")", R"("out\u0000")"),
       R"("destination" 含有 NUL 字符)"},
      {"a raw NUL byte after the document", withRawNul,
       "第 " + std::to_string(valid.size() + 1) + " 个字节是 NUL 字符"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(m_dir / "req.json", c.request);
    const Outcome r = run("req.json");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(result()["error"], "无法读取导出请求：" + c.error + "。");
    EXPECT_TRUE(folderIsEmpty(m_dir / "out"));
  }
}

// Regression: a file-size limit (ulimit -f) killed request mode with SIGXFSZ midway, leaving hidden
// staging and no result. Now the write fails with EFBIG like a full disk: rolled back, answered.
TEST_F(RequestMode, AFileSizeLimitIsAFailureLikeAFullDisk) {
  std::string render = testing::pngImage(4, 3);
  render.resize(1 << 20, '\0');  // data after the image end, which inspection ignores
  writeFile(m_dir / "req.json", validRequest());
  writeFile(m_dir / "render.png", render);
  // Far above the result's size, below the render's.
  testing::BridgeOptions options;
  options.fileSizeLimit = 256 << 10;
  const Outcome r = runBridge({"--request", "req.json", "res.json"}, m_dir.path(), options);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");
  const std::string error = result()["error"];
  EXPECT_NE(error.find(m_dir / "out/"), std::string::npos) << error;
  EXPECT_TRUE(folderIsEmpty(m_dir / "out"));
  EXPECT_EQ(leftTemporaryFiles(m_dir.path()), std::vector<std::string>{});
}

}  // namespace
}  // namespace quillmere
