#include "platform/paths.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

namespace quillmere {
namespace {

TEST(Paths, StandardisationIsLexical) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"/", "/"},
      {"//", "/"},
      {"/a/b/", "/a/b"},
      {"/a//b///c", "/a/b/c"},
      {"/a/./b/.", "/a/b"},
      {"/a/b/../c", "/a/c"},
      {"/a/b/../../..", "/"},
      {"/../a", "/a"},
      {"/a/b/c/../../d/./", "/a/d"},
      {"/a/..b/c..", "/a/..b/c.."},
      {"/a/.../b", "/a/.../b"},
      {"/照片/导出/", "/照片/导出"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(standardisePath(c.in), c.out);
  }
}

TEST(Paths, RelativeLocationsAreTakenAgainstTheCurrentDirectory) {
  char buffer[4096];
  ASSERT_NE(getcwd(buffer, sizeof buffer), nullptr);
  const std::string cwd = standardisePath(buffer);
  EXPECT_EQ(fileLocation("x/y.jpg"), cwd == "/" ? "/x/y.jpg" : cwd + "/x/y.jpg");
  EXPECT_EQ(fileLocation(""), cwd);
  EXPECT_EQ(fileLocation("."), cwd);
  EXPECT_EQ(fileLocation("/abs/./p/"), "/abs/p");
}

TEST(Paths, ComponentsAreJoinedAndSplitWithoutDoubledSeparators) {
  EXPECT_EQ(appendComponent("/", "Quillmere-x"), "/Quillmere-x");
  EXPECT_EQ(appendComponent("/a/b", "c.jpg"), "/a/b/c.jpg");
  EXPECT_EQ(fileName("/a/b/c.jpg"), "c.jpg");
  EXPECT_EQ(fileName("c.jpg"), "c.jpg");
  EXPECT_EQ(fileName("/a/b/"), "b");
  EXPECT_EQ(fileName("/"), "/");
}

}  // namespace
}  // namespace quillmere
