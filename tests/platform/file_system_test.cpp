#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "platform/file_operations.h"
#include "platform/file_system.h"
#include "support/faulty_file_system.h"
#include "support/temp_dir.h"

namespace quillmere {
namespace {

using testing::FaultyFileSystem;
using testing::FsOp;
using testing::TempDir;
using testing::readFile;
using testing::snapshot;
using testing::writeFile;

std::string errorText(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::system_error& error) {
    return error.what();
  }
  ADD_FAILURE() << "no std::system_error was thrown";
  return {};
}

TEST(PlatformErrors, NameTheOperationThePathAndTheReason) {
  EXPECT_EQ(errorText([] { posixFileSystem().openForReading("/nonexistent/b.json"); }),
            "无法打开“/nonexistent/b.json”：没有那个文件或目录（ENOENT）");
  EXPECT_EQ(errorText([] { posixFileSystem().status("/nonexistent/x"); }),
            "无法检查“/nonexistent/x”：没有那个文件或目录（ENOENT）");
}

TEST(OpenForReading, RefusesWhatIsNotARegularFileWithoutBlocking) {
  TempDir dir;
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // A blocking open of a FIFO with no writer would hang here forever.
  EXPECT_EQ(errorText([&] { posixFileSystem().openForReading(fifo); }),
            "无法打开“" + fifo + "”：不是普通文件");
  EXPECT_EQ(errorText([&] { posixFileSystem().openForReading(dir.path()); }),
            "无法打开“" + dir.path() + "”：是一个目录（EISDIR）");
}

TEST(ReadWholeFile, ReadsEverythingButStopsAtTheLimit) {
  TempDir dir;
  const std::string big(200'000, 'x');
  writeFile(dir / "f", big);
  EXPECT_EQ(readWholeFile(dir / "f"), big);
  EXPECT_EQ(readWholeFile(dir / "f", posixFileSystem(), 70'000).size(), 70'000u);
  writeFile(dir / "empty", "");
  EXPECT_EQ(readWholeFile(dir / "empty"), "");
}

TEST(CopyToNewFile, CopiesEveryByteIntoANewFile) {
  TempDir dir;
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{3 << 20 | 7}}) {
    SCOPED_TRACE(size);
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>(i * 31 + (i >> 12));
    writeFile(dir / "source", content);
    std::filesystem::remove(dir / "target");
    copyToNewFile(dir / "source", dir / "target");
    EXPECT_EQ(readFile(dir / "target"), content);
  }
}

TEST(CopyToNewFile, NeverOverwritesAnExistingTarget) {
  TempDir dir;
  writeFile(dir / "source", "new");
  writeFile(dir / "target", "precious");
  EXPECT_EQ(errorText([&] { copyToNewFile(dir / "source", dir / "target"); }),
            "无法创建“" + dir / "target" + "”：文件已存在（EEXIST）");
  EXPECT_EQ(readFile(dir / "target"), "precious");
}

TEST(CopyToNewFile, RemovesAPartialTargetWhenTheCopyFails) {
  TempDir dir;
  writeFile(dir / "source", "content");
  FaultyFileSystem fs(FsOp::copyContents, 1);
  EXPECT_THROW(copyToNewFile(dir / "source", dir / "target", fs), std::system_error);
  EXPECT_FALSE(std::filesystem::exists(dir / "target"));
}

TEST(RenameNoReplace, RefusesEveryExistingTargetIncludingAnEmptyFolder) {
  TempDir dir;
  std::filesystem::create_directory(dir / "staging");
  writeFile(dir / "staging/file", "x");
  // rename(2) would silently replace this empty folder.
  std::filesystem::create_directory(dir / "empty");
  writeFile(dir / "file", "y");
  for (const char* target : {"empty", "file"}) {
    SCOPED_TRACE(target);
    const auto before = snapshot(dir.path());
    EXPECT_EQ(errorText([&] { posixFileSystem().renameNoReplace(dir / "staging", dir / target); }),
              "无法将“" + dir / "staging" + "”移动到“" + dir / target + "”：文件已存在（EEXIST）");
    EXPECT_EQ(snapshot(dir.path()), before);
  }
  posixFileSystem().renameNoReplace(dir / "staging", dir / "batch");
  EXPECT_EQ(readFile(dir / "batch/file"), "x");
}

TEST(WriteAtomically, CreatesAndReplacesWholeFiles) {
  TempDir dir;
  writeAtomically(dir / "result.json", "first");
  EXPECT_EQ(readFile(dir / "result.json"), "first");
  writeAtomically(dir / "result.json", "second, longer");
  EXPECT_EQ(readFile(dir / "result.json"), "second, longer");
  writeAtomically(dir / "result.json", "");
  EXPECT_EQ(readFile(dir / "result.json"), "");
  EXPECT_EQ(snapshot(dir.path()).size(), 1u);
}

TEST(WriteAtomically, LeavesTheTargetAsItWasAndNoTemporaryFileOnEveryFailure) {
  for (const FsOp op : {FsOp::createExclusive, FsOp::writeAll, FsOp::sync, FsOp::renameReplace}) {
    SCOPED_TRACE(testing::name(op));
    TempDir dir;
    writeFile(dir / "result.json", "old");
    FaultyFileSystem fs(op, 1);
    EXPECT_THROW(writeAtomically(dir / "result.json", "new", fs), std::system_error);
    EXPECT_EQ(snapshot(dir.path()), (std::map<std::string, std::string>{{"result.json", "old"}}));
  }
}

TEST(WriteAtomically, FailsCleanlyOnRealErrors) {
  TempDir dir;
  // Missing folder: nothing can be created.
  EXPECT_THROW(writeAtomically(dir / "missing/result.json", "x"), std::system_error);
  // A non-empty folder in the way: the rename fails after the temporary file was written.
  std::filesystem::create_directory(dir / "taken");
  writeFile(dir / "taken/inner", "keep");
  EXPECT_THROW(writeAtomically(dir / "taken", "x"), std::system_error);
  EXPECT_EQ(snapshot(dir.path()),
            (std::map<std::string, std::string>{{"taken", "<dir>"}, {"taken/inner", "keep"}}));
}

TEST(RemoveTree, RemovesNestedFoldersButNeverFollowsLinksOutOfThem) {
  TempDir dir;
  std::filesystem::create_directories(dir / "tree/a/b");
  writeFile(dir / "tree/a/b/f", "1");
  writeFile(dir / "tree/g", "2");
  std::filesystem::create_directory(dir / "outside");
  writeFile(dir / "outside/keep", "3");
  std::filesystem::create_directory_symlink(dir / "outside", dir / "tree/link");
  posixFileSystem().removeTree(dir / "tree");
  EXPECT_FALSE(std::filesystem::exists(dir / "tree"));
  EXPECT_EQ(readFile(dir / "outside/keep"), "3");
}

}  // namespace
}  // namespace quillmere
