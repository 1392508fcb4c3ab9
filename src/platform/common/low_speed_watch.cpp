#include "platform/common/low_speed_watch.h"

namespace platform {

LowSpeedWatch::LowSpeedWatch(std::uint32_t bytesPerSecond, std::uint32_t seconds,
                             Clock::time_point start)
    : bytesPerSecond_(bytesPerSecond), window_(std::chrono::seconds(seconds)) {
  points_.push_back({start, 0});
}

bool LowSpeedWatch::Check(std::uint64_t total, Clock::time_point now) {
  if (bytesPerSecond_ == 0 || window_.count() == 0) return true;
  if (now - points_.back().when >= std::chrono::milliseconds(100)) points_.push_back({now, total});
  while (points_.size() >= 2 && points_[1].when <= now - window_) points_.pop_front();
  const Point& from = points_.front();
  const auto span = now - from.when;
  if (span < window_) return true;
  const double seconds = std::chrono::duration<double>(span).count();
  return static_cast<double>(total - from.bytes) >= bytesPerSecond_ * seconds;
}

}  // namespace platform
