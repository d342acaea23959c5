#include "platform/system_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace quillmere {
namespace {

TEST(SystemErrorText, SaysInChineseWhatWasTriedWhereAndWhyWithTheErrnosName) {
  const struct {
    int error;
    const char* operation;
    const char* path;
    const char* expected;
  } cases[] = {
      {ENOENT, "open", "/照片/DSC_4001.CR3",
       "无法打开“/照片/DSC_4001.CR3”：没有那个文件或目录（ENOENT）"},
      {EACCES, "examine", "/p/a.jpg", "无法检查“/p/a.jpg”：没有访问权限（EACCES）"},
      {ENOSPC, "write", "/out/x.tif", "无法写入“/out/x.tif”：磁盘空间不足（ENOSPC）"},
      {EIO, "hash", "/p/a.CR3", "无法计算“/p/a.CR3”的校验值：输入/输出错误（EIO）"},
      {EROFS, "create", "/mnt/card/new", "无法创建“/mnt/card/new”：文件系统是只读的（EROFS）"},
      {EEXIST, "move \"/out/.quillmere-partial-1\" to", "/out/Quillmere-1",
       "无法将“/out/.quillmere-partial-1”移动到“/out/Quillmere-1”：文件已存在（EEXIST）"},
      // An operation without a text of its own is still named, in the caller's words.
      {EBUSY, "frobnicate", "/x", "无法对“/x”执行 frobnicate：设备或资源正忙（EBUSY）"},
      // Errnos outside the table keep their number, and their name where the C library has one.
      {ECHILD, "read", "/x", "无法读取“/x”：系统错误 10（ECHILD）"},
      {9999, "read", "/x", "无法读取“/x”：系统错误 9999"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(systemErrorText(c.error, c.operation, c.path), c.expected);
    try {
      throwSystemError(c.error, c.operation, c.path);
    } catch (const std::system_error& error) {
      EXPECT_STREQ(error.what(), c.expected);
      // Code that tests the errno still can.
      EXPECT_EQ(error.code(), std::error_code(c.error, std::generic_category()));
    }
  }
}

TEST(SystemErrorText, EveryErrnoAUserCanMeetHasAChineseReason) {
  for (const int error :
       {ENOENT, EACCES, EPERM,   EROFS,  ENOSPC,  EDQUOT, EIO,   ENAMETOOLONG, ELOOP,     EMLINK,
        EBUSY,  EFBIG,  ENOTDIR, EISDIR, EMFILE,  ENFILE, EXDEV, EEXIST,       ENOTEMPTY, ENXIO,
        EPIPE,  ENOMEM, EAGAIN,  EINVAL, ETXTBSY, ESTALE, EINTR, EOPNOTSUPP,   EOVERFLOW}) {
    const std::string text = errnoText(error);
    SCOPED_TRACE(text);
    EXPECT_FALSE(text.starts_with("系统错误"));
    EXPECT_TRUE(text.ends_with(std::string("（") + ::strerrorname_np(error) + "）"));
  }
}

TEST(SystemErrorText, APathThatIsNotARegularFileSaysSo) {
  try {
    throwNotRegularFile("/photos/fifo");
    FAIL() << "nothing thrown";
  } catch (const std::system_error& error) {
    EXPECT_STREQ(error.what(), "无法打开“/photos/fifo”：不是普通文件");
    EXPECT_NE(error.code().category(), std::generic_category());
  }
}

// A failure keeps its facts as fields, and a path told otherwise changes the fields the sentence is
// made from: the first path that begins with the hidden folder's (a move's source before its
// target) is the one told, and the errno and its category stay.
TEST(SystemFailure, APathToldOtherwiseIsTheFirstInsideTheFolderAndTheRestIsKept) {
  const std::string hidden = "/out/.quillmere-partial-1";
  const struct {
    const char* name;
    SystemFailure failure;
    bool concerns;
    std::string retold;  // hidden told as "/out/Quillmere-1"
    std::string toldAs;  // the path inside hidden told as "/out", whole
  } cases[] = {
      {"a file inside", SystemFailure(EIO, "write", hidden + "/a.jpg"), true,
       "无法写入“/out/Quillmere-1/a.jpg”：输入/输出错误（EIO）",
       "无法写入“/out”：输入/输出错误（EIO）"},
      {"the folder itself", SystemFailure(ENOSPC, "flush", hidden), true,
       "无法把“/out/Quillmere-1”写入磁盘：磁盘空间不足（ENOSPC）",
       "无法把“/out”写入磁盘：磁盘空间不足（ENOSPC）"},
      {"a move out of it", SystemFailure(EROFS, "move \"" + hidden + "\" to", "/out/Quillmere-1"),
       true, "无法将“/out/Quillmere-1”移动到“/out/Quillmere-1”：文件系统是只读的（EROFS）",
       "无法将“/out”移动到“/out/Quillmere-1”：文件系统是只读的（EROFS）"},
      {"a move into it", SystemFailure(EXDEV, "move \"/tmp/x\" to", hidden + "/x"), true,
       "无法将“/tmp/x”移动到“/out/Quillmere-1/x”：不能跨文件系统移动（EXDEV）",
       "无法将“/tmp/x”移动到“/out”：不能跨文件系统移动（EXDEV）"},
      {"another folder", SystemFailure(EIO, "read", "/in/a.jpg"), false,
       "无法读取“/in/a.jpg”：输入/输出错误（EIO）", "无法读取“/in/a.jpg”：输入/输出错误（EIO）"},
      // The folder's owner record lies beside it, named after it, and is told with it.
      {"the record beside it", SystemFailure(ENOSPC, "write", hidden + ".owner"), true,
       "无法写入“/out/Quillmere-1.owner”：磁盘空间不足（ENOSPC）",
       "无法写入“/out”：磁盘空间不足（ENOSPC）"},
      {"a file not a regular one",
       SystemFailure(0, "open", hidden + "/b", SystemFailure::Reason::notRegularFile), true,
       "无法打开“/out/Quillmere-1/b”：不是普通文件", "无法打开“/out”：不是普通文件"},
      {"no file entries left",
       SystemFailure(ENOSPC, "create", hidden + "/c", SystemFailure::Reason::noFileSlots), true,
       "无法创建“/out/Quillmere-1/c”：文件系统可建的文件数已满，磁盘仍有空间（ENOSPC）",
       "无法创建“/out”：文件系统可建的文件数已满，磁盘仍有空间（ENOSPC）"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.failure.concerns(hidden), c.concerns);
    const SystemFailure retold = c.failure.retold(hidden, "/out/Quillmere-1");
    const SystemFailure toldAs = c.failure.toldAs(hidden, "/out");
    EXPECT_STREQ(retold.what(), c.retold.c_str());
    EXPECT_STREQ(toldAs.what(), c.toldAs.c_str());
    for (const SystemFailure* told : {&retold, &toldAs}) {
      EXPECT_EQ(told->code(), c.failure.code());
      EXPECT_EQ(told->reason(), c.failure.reason());
      EXPECT_EQ(told->operation(), c.failure.operation());
      EXPECT_EQ(told->what(), systemFailureText(*told));
    }
  }
  // A move is kept as the operation "move", its source apart.
  const SystemFailure move(EEXIST, "move \"/a/b\" to", "/a/c");
  EXPECT_EQ(move.operation(), "move");
  EXPECT_EQ(move.source(), "/a/b");
  EXPECT_EQ(move.path(), "/a/c");
  EXPECT_EQ(move.error(), EEXIST);
}

}  // namespace
}  // namespace quillmere
