// The low-speed rule for a body: over any window of `seconds` seconds at
// least bytesPerSecond * seconds bytes must arrive. WinHTTP only limits each
// single wait, so a server that sends a byte now and then would otherwise
// keep a transfer going for ever. The watch keeps a few points of the
// transfer's history (at most ten a second) and compares the newest with the
// latest one that lies a whole window back.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>

namespace platform {

class LowSpeedWatch {
 public:
  using Clock = std::chrono::steady_clock;

  // A watch from `start` on; 0 for either limit turns it off.
  LowSpeedWatch(std::uint32_t bytesPerSecond, std::uint32_t seconds,
                Clock::time_point start = Clock::now());

  // False when the body has become too slow, given `total` bytes so far.
  bool Check(std::uint64_t total, Clock::time_point now = Clock::now());

 private:
  struct Point {
    Clock::time_point when;
    std::uint64_t bytes;
  };
  std::uint32_t bytesPerSecond_;
  Clock::duration window_;
  std::deque<Point> points_;
};

}  // namespace platform
