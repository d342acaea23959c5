#include "platform/identity.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace quillmere {
namespace {

TEST(Identity, RandomUUIDsAreLowerCaseVersion4AndDistinct) {
  const std::regex form("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string id = randomUUID();
    ASSERT_TRUE(std::regex_match(id, form)) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 200u);
}

TEST(Identity, UUIDTextIsTheCanonicalFormOfTheBytes) {
  EXPECT_EQ(uuidText({0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc,
                      0xdd, 0xee, 0xff}),
            "00112233-4455-6677-8899-aabbccddeeff");
}

TEST(Identity, TimesAreUtcWithWholeSecondsAndZ) {
  EXPECT_EQ(iso8601(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(iso8601(1772352309), "2026-03-01T08:05:09Z");
  EXPECT_EQ(currentTimeISO8601().size(), 20u);
}

}  // namespace
}  // namespace quillmere
