// The repeats past a brief lock, on a clock of the test's own: which
// failures are repeated, the pauses between the attempts, and the ten-second
// limit. The waits advance the clock instead of sleeping.
#include "companion/lock_retry.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/error_codes.h"

namespace {

using companion::RetryOutcome;
using platform::Failure;

// An operation that fails with `failures` in turn and succeeds after them,
// unless `alwaysFails` repeats the last failure for ever; each attempt takes
// `attemptMs` on the test's clock.
struct Case {
  const char* name;
  std::vector<Failure> failures;
  bool alwaysFails;
  std::uint32_t attemptMs;
  bool ok;
  int attempts;
  Failure last;
  Failure firstLock;
  std::vector<std::uint32_t> waits;
};

TEST(LockRetryTest, RepeatsOnlyBriefLocksWithGrowingPausesForTenSeconds) {
  const std::vector<std::uint32_t> fullSchedule = {100,  200,  400,  800,  1000, 1000, 1000,
                                                   1000, 1000, 1000, 1000, 1000, 500};
  const Case cases[] = {
      {"succeeds at once", {}, false, 0, true, 1, Failure::None, Failure::None, {}},
      {"file not found fails at once",
       {Failure::FileNotFound},
       true,
       0,
       false,
       1,
       Failure::FileNotFound,
       Failure::None,
       {}},
      {"a full disk fails at once",
       {Failure::DiskFull},
       true,
       0,
       false,
       1,
       Failure::DiskFull,
       Failure::None,
       {}},
      {"sharing violation twice, then done",
       {Failure::SharingViolation, Failure::SharingViolation},
       false,
       0,
       true,
       3,
       Failure::None,
       Failure::SharingViolation,
       {100, 200}},
      {"lock violation, then access denied, then done",
       {Failure::LockViolation, Failure::AccessDenied},
       false,
       0,
       true,
       3,
       Failure::None,
       Failure::LockViolation,
       {100, 200}},
      {"a brief lock, then a failure that is not one",
       {Failure::AccessDenied, Failure::PathNotFound},
       true,
       0,
       false,
       2,
       Failure::PathNotFound,
       Failure::AccessDenied,
       {100}},
      {"held for ever: ten seconds of pauses, the last one cut to the limit",
       {Failure::SharingViolation},
       true,
       0,
       false,
       14,
       Failure::SharingViolation,
       Failure::SharingViolation,
       fullSchedule},
      {"slow attempts count against the limit",
       {Failure::AccessDenied},
       true,
       3000,
       false,
       4,
       Failure::AccessDenied,
       Failure::AccessDenied,
       {100, 200, 400}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Starts near the 32-bit tick count's wrap, which must not matter.
    std::uint32_t now = 0xFFFFF000u;
    std::vector<std::uint32_t> waits;
    std::size_t next = 0;
    const companion::RetryPacing pacing{[&now] { return now; },
                                        [&now, &waits](std::uint32_t ms) {
                                          waits.push_back(ms);
                                          now += ms;
                                        }};
    const RetryOutcome outcome = companion::RetryPastBriefLocks(
        [&](Failure* failure) {
          now += c.attemptMs;
          if (next < c.failures.size()) {
            *failure = c.failures[next++];
            return false;
          }
          if (c.alwaysFails && !c.failures.empty()) {
            *failure = c.failures.back();
            return false;
          }
          return true;
        },
        pacing);
    EXPECT_EQ(outcome.ok, c.ok);
    EXPECT_EQ(outcome.attempts, c.attempts);
    EXPECT_EQ(outcome.last, c.last);
    EXPECT_EQ(outcome.firstLock, c.firstLock);
    EXPECT_EQ(waits, c.waits);
  }
}

TEST(LockRetryTest, PausesGrowFromATenthOfASecondToOneSecond) {
  const std::vector<std::uint32_t> expected = {100, 200, 400, 800, 1000, 1000, 1000};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(companion::LockRetryDelayMs(static_cast<int>(i + 1)), expected[i])
        << "after " << (i + 1) << " failed attempts";
  }
}

TEST(LockRetryTest, TheThreeBriefLocksAreTheOnlyOnesRepeated) {
  const struct {
    Failure failure;
    bool brief;
  } rows[] = {
      {Failure::AccessDenied, true},   {Failure::SharingViolation, true},
      {Failure::LockViolation, true},  {Failure::None, false},
      {Failure::FileNotFound, false},  {Failure::PathNotFound, false},
      {Failure::NotSameDevice, false}, {Failure::DiskFull, false},
      {Failure::InvalidHandle, false}, {Failure::GenFailure, false},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(companion::IsBriefLock(r.failure), r.brief) << "failure " << r.failure;
  }
}

}  // namespace
