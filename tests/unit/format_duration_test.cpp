// Clock text for durations, and the arithmetic on the wrapping 32-bit tick
// counter that the connection test times itself with.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "connection/u_InternetTester.h"
#include "connection/u_TestThread.h"
#include "support/u_Utility.h"

namespace {

TEST(FormatDurationTest, WritesHoursMinutesSecondsAndMilliseconds) {
  struct Row {
    std::uint32_t ms;
    const char* text;
  };
  const std::vector<Row> rows = {
      {0, "0:00:00.000"},
      {84, "0:00:00.084"},
      {999, "0:00:00.999"},
      {1000, "0:00:01.000"},
      {15000, "0:00:15.000"},
      {45000, "0:00:45.000"},
      {59999, "0:00:59.999"},
      {60000, "0:01:00.000"},
      {3599999, "0:59:59.999"},
      {3600000, "1:00:00.000"},
      {3723004, "1:02:03.004"},
      {36000000, "10:00:00.000"},  // hours grow wider instead of being cut
      {86400000, "24:00:00.000"},  // and do not roll over into days
      {4294967295u, "1193:02:47.295"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(r.text, TUtility::FormatDuration(r.ms)) << "for " << r.ms << " ms";
  }
}

// The counter wraps at 2^32 ms (49.7 days); the elapsed time must come out
// right across the wrap without waiting for one.
TEST(TickArithmeticTest, ElapsedTimeIsTrueAcrossTheWrap) {
  struct Row {
    const char* name;
    std::uint32_t t0, t1, elapsed;
  };
  const std::vector<Row> rows = {
      {"no wrap", 1000, 1084, 84},
      {"same tick", 4294967295u, 4294967295u, 0},
      {"wrap by one", 4294967295u, 0, 1},
      {"wrap in the middle", 4294967200u, 50, 146},
      {"just short of a full turn", 1, 0, 4294967295u},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(r.elapsed, TestThreadT::ElapsedTicks(r.t0, r.t1)) << r.name;
  }
}

TEST(TickArithmeticTest, DeadlineCountsElapsedTicksModuloTheWrap) {
  struct Row {
    const char* name;
    std::uint32_t t0, now;
    std::int32_t timeout;
    bool passed;
  };
  const std::vector<Row> rows = {
      {"before", 1000, 15999, 15000, false},
      {"exactly at the deadline", 1000, 16000, 15000, true},
      {"after", 1000, 16001, 15000, true},
      {"wrapped, before", 4294960000u, 7703, 15000, false},  // 14999 ms
      {"wrapped, at the deadline", 4294960000u, 7704, 15000, true},
      {"wrapped, long after", 4294960000u, 100000, 15000, true},
      {"zero timeout passes at once", 5, 5, 0, true},
      {"negative timeout passes at once", 5, 5, -1, true},
      {"most negative timeout", 5, 5, INT32_MIN, true},
      {"largest timeout, not yet", 0, 2147483646u, INT32_MAX, false},
      {"largest timeout, reached", 0, 2147483647u, INT32_MAX, true},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(r.passed, InternetTesterT::DeadlinePassed(r.t0, r.now, r.timeout)) << r.name;
  }
}

TEST(TickArithmeticTest, TheDeadlineWinsOverAProbeThatFinishedInTheSamePass) {
  struct Row {
    std::uint8_t testResult;
    bool timedOut;
    std::uint8_t result;
  };
  const std::vector<Row> rows = {
      {2, false, 2}, {2, true, 1}, {3, false, 0}, {3, true, 1}, {0, false, 0}, {0, true, 1},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(r.result, InternetTesterT::Result(r.testResult, r.timedOut))
        << "TestResult " << int(r.testResult) << ", timed out " << r.timedOut;
  }
}

}  // namespace
