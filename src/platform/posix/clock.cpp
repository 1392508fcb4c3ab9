// Local wall-clock time from the real-time clock and the system's time zone,
// and the port's one monotonic millisecond count.
#include "platform/clock.h"

#include <time.h>

#include "platform/posix/monotonic.h"

namespace platform {

std::uint64_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
         static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

LocalTime Now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  time_t secs = ts.tv_sec;
  tm local{};
  LocalTime out;
  // localtime_r is the thread-safe form; the log asks from several threads.
  if (localtime_r(&secs, &local) == nullptr) return out;
  out.year = local.tm_year + 1900;
  out.month = local.tm_mon + 1;
  out.day = local.tm_mday;
  out.hour = local.tm_hour;
  out.minute = local.tm_min;
  // A leap second (tm_sec 60) is folded into 59 so callers keep to 0..59.
  out.second = local.tm_sec > 59 ? 59 : local.tm_sec;
  out.millisecond = static_cast<int>(ts.tv_nsec / 1000000L);
  return out;
}

}  // namespace platform
