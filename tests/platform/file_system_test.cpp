#include "platform/file_system.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <thread>

#include "platform/file_operations.h"
#include "support/faulty_file_system.h"
#include "support/temp_dir.h"

namespace quillmere {
namespace {

using testing::FaultyFileSystem;
using testing::FsOp;
using testing::readFile;
using testing::snapshot;
using testing::TempDir;
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

// Copies go into a new file of the staging folder, chunk by chunk from the open render.
TEST(CopyChunk, CopiesEveryByteIntoANewFile) {
  TempDir dir;
  FileSystem& fs = posixFileSystem();
  OpenFile folder = fs.openDirectory(dir.path());
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{3 << 20 | 7}}) {
    SCOPED_TRACE(size);
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>(i * 31 + (i >> 12));
    writeFile(dir / "source", content);
    std::filesystem::remove(dir / "target");
    OpenFile from = fs.openForReading(dir / "source");
    OpenFile to = fs.createExclusiveAt(folder, "target");
    std::uint64_t offset = 0;
    while (const std::size_t copied = fs.copyChunk(from, offset, to, 1 << 20)) offset += copied;
    EXPECT_EQ(readFile(dir / "target"), content);
  }
}

TEST(CreateExclusiveAt, NeverOverwritesAnExistingTarget) {
  TempDir dir;
  writeFile(dir / "target", "precious");
  OpenFile folder = posixFileSystem().openDirectory(dir.path());
  EXPECT_EQ(errorText([&] { posixFileSystem().createExclusiveAt(folder, "target"); }),
            "无法创建“" + dir / "target" + "”：文件已存在（EEXIST）");
  EXPECT_EQ(readFile(dir / "target"), "precious");
}

// Both ways of renaming without replacing: the flag, and on file systems that refuse it (the fake
// refuses it here as some network and FUSE file systems do) a look at the target before a plain
// rename. The races between that look and the rename are in the batch's fault-injection tests.
TEST(RenameNoReplaceAt, RefusesEveryExistingTargetIncludingAnEmptyFolder) {
  for (const bool flagRefused : {false, true}) {
    SCOPED_TRACE(flagRefused ? "the file system refuses the flag" : "the flag is honoured");
    TempDir dir;
    std::filesystem::create_directory(dir / "staging");
    writeFile(dir / "staging/file", "x");
    // rename(2) would silently replace this empty folder.
    std::filesystem::create_directory(dir / "empty");
    writeFile(dir / "file", "y");
    FaultyFileSystem fs;
    fs.refuseNoReplace = flagRefused;
    OpenFile folder = fs.openDirectory(dir.path());
    for (const char* target : {"empty", "file"}) {
      SCOPED_TRACE(target);
      const auto before = snapshot(dir.path());
      EXPECT_EQ(
          errorText([&] { renameNoReplaceAt(folder, "staging", target, fs); }),
          "无法将“" + dir / "staging" + "”移动到“" + dir / target + "”：文件已存在（EEXIST）");
      EXPECT_EQ(snapshot(dir.path()), before);
    }
    // A link that leads nowhere is something too, though a look through it finds nothing.
    std::filesystem::create_symlink("nowhere", dir / "dangling");
    EXPECT_EQ(
        errorText([&] { renameNoReplaceAt(folder, "staging", "dangling", fs); }),
        "无法将“" + dir / "staging" + "”移动到“" + dir / "dangling" + "”：文件已存在（EEXIST）");
    EXPECT_EQ(std::filesystem::read_symlink(dir / "dangling"), "nowhere");
    std::filesystem::remove(dir / "dangling");
    EXPECT_EQ(fs.calls(FsOp::renameAt), 0);
    renameNoReplaceAt(folder, "staging", "batch", fs);
    EXPECT_EQ(readFile(dir / "batch/file"), "x");
    EXPECT_FALSE(std::filesystem::exists(dir / "staging"));
    EXPECT_EQ(fs.calls(FsOp::renameAt), flagRefused ? 1 : 0);
  }
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

// Regression: the temporary name was ".<name>.tmp-<uuid>", 42 bytes longer than the name, so
// names of 214 to 255 bytes could not be replaced at all.
TEST(WriteAtomically, ReplacesFilesWhoseNamesAreAsLongAsTheFileSystemAllows) {
  TempDir dir;
  // 255 bytes, with a three-byte character across the 32 bytes a temporary name keeps.
  const std::string longName = std::string(31, 'a') + "照" + std::string(221, 'b');
  ASSERT_EQ(longName.size(), 255u);
  writeAtomically(dir / longName, "first");
  writeAtomically(dir / longName, "second");
  EXPECT_EQ(snapshot(dir.path()), (std::map<std::string, std::string>{{longName, "second"}}));

  const std::string hidden = temporaryNameFor(longName);
  EXPECT_EQ(hidden.rfind("." + std::string(31, 'a') + ".tmp-", 0), 0u) << hidden;
  EXPECT_EQ(hidden.size(), 1 + 31 + 5 + 36u);
  EXPECT_EQ(temporaryNameFor("result.json").rfind(".result.json.tmp-", 0), 0u);
}

int errnoOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::system_error& error) {
    return error.code().value();
  }
  ADD_FAILURE() << "no std::system_error was thrown";
  return 0;
}

TEST(WriteTargetOf, FollowsLinksToWhatTheyNameAndKeepsStreams) {
  TempDir dir;
  const std::string d = dir.path();
  writeFile(dir / "file", "x");
  std::filesystem::create_directory(dir / "sub");
  std::filesystem::create_symlink("file", dir / "link");
  std::filesystem::create_symlink("sub/hop", dir / "chain");
  std::filesystem::create_symlink("../file", dir / "sub/hop");
  std::filesystem::create_symlink(dir / "nowhere", dir / "dangling");
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  std::filesystem::create_symlink("fifo", dir / "to-fifo");
  const struct {
    const char* path;
    std::string target;
    bool stream;
  } cases[] = {
      {"file", d + "/file", false},        {"new", d + "/new", false},
      {"link", d + "/file", false},        {"chain", d + "/sub/../file", false},
      {"dangling", d + "/nowhere", false}, {"fifo", d + "/fifo", true},
      {"to-fifo", d + "/to-fifo", true},  // opened through the link, by the kernel
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const WriteTarget target = writeTargetOf(dir / c.path);
    EXPECT_EQ(target.path, c.target);
    EXPECT_EQ(target.mode, c.stream ? WriteMode::stream : WriteMode::replace);
  }
  EXPECT_EQ(writeTargetOf("/dev/null").mode, WriteMode::stream);
  // A regular file named as an open descriptor is the caller's: written at its end, never
  // replaced, so that output redirected with >> keeps what it held.
  const int open = ::open((dir / "file").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_GE(open, 0);
  for (const std::string& name :
       {"/dev/fd/" + std::to_string(open), "/proc/self/fd/" + std::to_string(open),
        "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(open)}) {
    SCOPED_TRACE(name);
    const WriteTarget target = writeTargetOf(name);
    EXPECT_EQ(target.mode, WriteMode::append);
    writeInto(target, "+");
  }
  ::close(open);
  EXPECT_EQ(readFile(dir / "file"), "x+++");
  for (const char* name : {"/dev/stdout", "/dev/stderr", "/dev/fd/3", "/proc/12/fd/0"}) {
    EXPECT_TRUE(namesOpenDescriptor(name)) << name;
  }
  for (const char* name : {"/dev/fd", "/dev/fd/x", "/proc/self/fdinfo/1", "/proc/a/fd/1",
                           "/proc/12/fd/", "/dev/stdin2"}) {
    EXPECT_FALSE(namesOpenDescriptor(name)) << name;
  }

  std::filesystem::create_directory_symlink("sub", dir / "to-folder");
  std::filesystem::create_symlink("loop-b", dir / "loop-a");
  std::filesystem::create_symlink("loop-a", dir / "loop-b");
  EXPECT_EQ(errnoOf([&] { writeTargetOf(dir / "sub"); }), EISDIR);
  EXPECT_EQ(errnoOf([&] { writeTargetOf(dir / "to-folder"); }), EISDIR);
  EXPECT_EQ(errnoOf([&] { writeTargetOf(dir / "loop-a"); }), ELOOP);
  EXPECT_EQ(errnoOf([&] { writeTargetOf(dir / "file/below"); }), ENOTDIR);
}

TEST(WriteInto, WritesIntoAFifoWithAReaderAndRefusesOneWithout) {
  TempDir dir;
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Without a reader the open fails at once instead of waiting for one.
  const WriteTarget stream{fifo, WriteMode::stream};
  EXPECT_EQ(errnoOf([&] { writeInto(stream, "x"); }), ENXIO);

  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  writeInto(stream, "through the FIFO");
  char received[64] = {};
  EXPECT_EQ(read(reader, received, sizeof received), 16);
  EXPECT_EQ(std::string(received), "through the FIFO");
  close(reader);
  EXPECT_EQ(errnoOf([&] { writeInto({dir / "missing", WriteMode::stream}, "x"); }), ENOENT);
  // Appending never creates a file, nor writes into anything but a regular one.
  EXPECT_EQ(errnoOf([&] { writeInto({dir / "missing", WriteMode::append}, "x"); }), ENOENT);
  EXPECT_THROW(writeInto({fifo, WriteMode::append}, "x"), std::system_error);
}

TEST(ReadWholeFile, ReadsAFifoFromAWriterThatComesLaterUpToTheLimit) {
  TempDir dir;
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // The writer opens only after the reader has started waiting; the read must not end early. A
  // FIFO refuses a non-blocking open for writing (ENXIO) until someone has it open for reading,
  // so the writer's first successful open is the sign that the reader is there.
  std::thread writer([&] {
    int fd = -1;
    while ((fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0 && errno == ENXIO) {
      std::this_thread::yield();
    }
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK), 0);
    const std::string bytes(300'000, 'y');
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    close(fd);
  });
  EXPECT_EQ(readWholeFile(fifo), std::string(300'000, 'y'));
  writer.join();
  EXPECT_EQ(errnoOf([&] { readWholeFile(dir.path()); }), EISDIR);
}

}  // namespace
}  // namespace quillmere

namespace quillmere {
namespace {

namespace fs = std::filesystem;

TEST(OpenForReadingAt, OpensOnlyRegularFilesInTheFolderItselfAndNothingThroughALink) {
  TempDir dir;
  fs::create_directory(dir / "batch");
  writeFile(dir / "batch/photo.jpg", "photo");
  writeFile(dir / "outside.jpg", "outside");
  fs::create_symlink(dir / "outside.jpg", dir / "batch/link.jpg");
  fs::create_symlink("../outside.jpg", dir / "batch/relative.jpg");
  fs::create_directory(dir / "batch/folder");
  ASSERT_EQ(mkfifo((dir / "batch/fifo").c_str(), 0600), 0);
  const bool device = mknod((dir / "batch/null").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;

  OpenFile folder = posixFileSystem().openDirectory(dir / "batch");
  OpenFile photo = posixFileSystem().openForReadingAt(folder, "photo.jpg");
  EXPECT_EQ(photo.path, dir / "batch/photo.jpg");
  EXPECT_TRUE(photo.status.isRegular);
  EXPECT_EQ(photo.status.size, 5);

  const auto refusal = [&](const std::string& name) {
    return errorText([&] { posixFileSystem().openForReadingAt(folder, name); });
  };
  for (const char* name : {"link.jpg", "relative.jpg", "folder", "fifo", "null"}) {
    if (std::string(name) == "null" && !device) continue;
    SCOPED_TRACE(name);
    // A FIFO opened for reading would wait for a writer forever; a link would lead outside.
    EXPECT_EQ(refusal(name), "无法打开“" + (dir / "batch/") + name + "”：不是普通文件");
  }
  EXPECT_EQ(refusal("gone.jpg"), "无法打开“" + (dir / "batch/gone.jpg") + "”：没有那个文件或目录（ENOENT）");
}

TEST(ListEntries, NamesEveryEntryHiddenOnesIncludedEveryTimeItIsAsked) {
  TempDir dir;
  for (const char* name : {".hidden", "a.jpg", "b"}) writeFile(dir / name, "x");
  fs::create_directory(dir / "sub");
  fs::create_symlink("nowhere", dir / "dangling");
  OpenFile folder = posixFileSystem().openDirectory(dir.path());
  const std::set<std::string> expected = {".hidden", "a.jpg", "b", "sub", "dangling"};
  for (int time = 0; time < 2; ++time) {
    SCOPED_TRACE(time);
    const auto names = posixFileSystem().listEntries(folder);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), expected);
    EXPECT_EQ(names.size(), expected.size());
  }
}

}  // namespace
}  // namespace quillmere
