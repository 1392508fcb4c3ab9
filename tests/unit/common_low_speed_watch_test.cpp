// The low-speed rule for a body over a given course of time: each step is a
// moment (ms after the start) and the bytes that have come by then.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/common/low_speed_watch.h"

namespace {

struct Step {
  int ms;
  std::uint64_t total;
  bool fastEnough;
};

struct Case {
  std::string name;
  std::uint32_t bytesPerSecond;
  std::uint32_t seconds;
  std::vector<Step> steps;
};

TEST(LowSpeedWatchTest, JudgesEveryWindow) {
  const std::vector<Case> cases = {
      {"off without a rate", 0, 5, {{100000, 0, true}}},
      {"off without a window", 100, 0, {{100000, 0, true}}},
      {"nothing yet, but no whole window", 100, 5, {{4900, 0, true}}},
      {"just enough over the first window", 100, 5, {{5000, 500, true}}},
      {"one byte short over the first window", 100, 5, {{5000, 499, false}}},
      {"steady",
       100,
       5,
       {{2000, 200, true}, {4000, 400, true}, {6000, 600, true}, {8000, 800, true}}},
      // Plenty at first, then nothing: the window looks back from now only.
      {"a stall after a fast start",
       100,
       5,
       {{1000, 100000, true}, {5000, 100000, true}, {6000, 100000, false}}},
      {"a trickle", 100, 5, {{1000, 50, true}, {3000, 150, true}, {5000, 250, false}}},
      // A step closer than 100 ms to the last point keeps no point of its
      // own: the window at 6.1 s reaches back to the point at 1 s (0 bytes),
      // not to 1.05 s (500 bytes), after which too little came.
      {"a close step", 100, 5, {{1000, 0, true}, {1050, 500, true}, {6100, 520, true}}},
  };
  for (const Case& c : cases) {
    const platform::LowSpeedWatch::Clock::time_point start{};
    platform::LowSpeedWatch watch(c.bytesPerSecond, c.seconds, start);
    for (const Step& s : c.steps) {
      EXPECT_EQ(s.fastEnough, watch.Check(s.total, start + std::chrono::milliseconds(s.ms)))
          << c.name << " at " << s.ms << " ms";
    }
  }
}

}  // namespace
