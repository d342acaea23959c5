#include "platform/identity.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/process_owner.h"

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

namespace quillmere {
namespace {

// A process's start time is read past its name, which may hold spaces and parentheses of its own:
// read from the wrong field, a live process would look ended (or an ended one alive).
TEST(ProcessOwner, AProcessStartTimeIsReadWhateverItsNameHolds) {
  int ready[2];
  int release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::prctl(PR_SET_NAME, "a) (b c) 1 2 ", 0, 0, 0);
    char byte = 1;
    if (::write(ready[1], &byte, 1) != 1) ::_exit(1);
    // Any end of the wait will do: the parent has read what it needed by then.
    [[maybe_unused]] const ssize_t released = ::read(release[0], &byte, 1);
    ::_exit(0);
  }
  char byte;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  const auto start = processStartTime(child);
  const auto mine = processStartTime(::getpid());
  ASSERT_TRUE(start && mine);
  // Started after this process, and within the same boot's clock ticks.
  EXPECT_GE(*start, *mine);

  const auto self = thisProcessOwner();
  ASSERT_TRUE(self);
  ProcessOwner owner = *self;
  owner.pid = child;
  owner.startTime = *start;
  EXPECT_FALSE(isProvablyGone(owner)) << "a live process";
  EXPECT_FALSE(isProvablyGone(*self)) << "this process";
  ProcessOwner reused = owner;
  reused.startTime = *start + 1;
  EXPECT_TRUE(isProvablyGone(reused)) << "its id now names a process started at another moment";

  byte = 0;
  ASSERT_EQ(::write(release[1], &byte, 1), 1);
  ASSERT_EQ(::waitpid(child, nullptr, 0), child);
  EXPECT_FALSE(processStartTime(child));
  EXPECT_TRUE(isProvablyGone(owner)) << "an ended process";
  for (const int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);
}

}  // namespace
}  // namespace quillmere
