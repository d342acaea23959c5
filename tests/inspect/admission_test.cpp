#include "inspect/admission.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <system_error>

#include "records/records.h"
#include "support/faulty_file_system.h"
#include "support/temp_dir.h"

namespace quillmere {
namespace {

using testing::TempDir;

TEST(RegularFileTest, AdmitsRegularFilesFromOneByteTo4GiB) {
  struct Case {
    const char* name;
    std::function<void(const std::string& path)> make;
    bool admitted;
  };
  const Case cases[] = {
      {"one byte", [](const std::string& p) { testing::writeFile(p, "x"); }, true},
      {"empty", [](const std::string& p) { testing::writeFile(p, ""); }, false},
      {"exactly 4 GiB", [](const std::string& p) { testing::makeSparseFile(p, 4'294'967'296); },
       true},
      {"4 GiB and one byte",
       [](const std::string& p) { testing::makeSparseFile(p, 4'294'967'297); }, false},
      {"directory", [](const std::string& p) { ASSERT_EQ(::mkdir(p.c_str(), 0700), 0); }, false},
      {"FIFO", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, false},
      {"link to a regular file",
       [](const std::string& p) {
         testing::writeFile(p + ".target", "render");
         ASSERT_EQ(::symlink((p + ".target").c_str(), p.c_str()), 0);
       },
       true},
      {"link to a directory",
       [](const std::string& p) {
         ASSERT_EQ(::mkdir((p + ".target").c_str(), 0700), 0);
         ASSERT_EQ(::symlink((p + ".target").c_str(), p.c_str()), 0);
       },
       false},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir / c.name;
    c.make(path);
    testing::FaultyFileSystem fs;
    if (c.admitted) {
      EXPECT_NO_THROW(regularFile(path, fs));
    } else {
      try {
        regularFile(path, fs);
        ADD_FAILURE() << "admitted";
      } catch (const BridgeFailure& failure) {
        EXPECT_EQ(failure.message(), kPhotoNotAdmittedMessage);
      }
    }
    // One stat answers everything; the file is never opened.
    EXPECT_EQ(fs.calls(testing::FsOp::status), 1);
    EXPECT_EQ(fs.calls(testing::FsOp::openForReading), 0);
  }
}

TEST(RegularFileTest, APathThatCannotBeExaminedGivesThePlatformError) {
  TempDir dir;
  const std::string missing = dir / "missing.jpg";
  const std::string dangling = dir / "dangling.jpg";
  ASSERT_EQ(::symlink(missing.c_str(), dangling.c_str()), 0);
  for (const std::string& path : {missing, dangling}) {
    SCOPED_TRACE(path);
    try {
      regularFile(path);
      ADD_FAILURE() << "admitted";
    } catch (const BridgeFailure& failure) {
      ADD_FAILURE() << "refused with the system's message instead of the platform error";
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code().value(), ENOENT);
      EXPECT_NE(std::string(error.what()).find(path), std::string::npos) << error.what();
    }
  }
}

}  // namespace
}  // namespace quillmere
