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

TEST(Paths, Utf8IsCheckedStrictly) {
  using namespace std::string_literals;
  const struct {
    std::string text;
    bool valid;
  } cases[] = {
      {"", true},
      {"/照片/导出", true},
      {"/a/\xF0\x9F\x93\xB7", true},       // U+1F4F7, four bytes
      {"/a\0b"s, true},                     // NUL is valid UTF-8; refusing it is the decoder's job
      {"/a/\xFF", false},                   // never a UTF-8 byte
      {"/a/\xC3", false},                   // cut short
      {"/a/\xC0\xAF", false},               // overlong "/"
      {"/a/\xE0\x80\xAF", false},           // overlong, three bytes
      {"/a/\xED\xA0\x80", false},           // a UTF-16 surrogate
      {"/a/\xF4\x90\x80\x80", false},       // past U+10FFFF
      {"/a/\xE6\x97", false},               // three-byte sequence cut short
      {"/a/\x80", false},                   // stray continuation byte
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.text));
    EXPECT_EQ(isValidUtf8(c.text), c.valid);
  }
}

}  // namespace
}  // namespace quillmere
