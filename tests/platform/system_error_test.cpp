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

}  // namespace
}  // namespace quillmere
