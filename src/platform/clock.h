// Local wall-clock time.
//
// Contract: any thread, non-blocking, never throws.
#pragma once

namespace platform {

struct LocalTime {
  int year = 0;   // e.g. 2024
  int month = 0;  // 1..12
  int day = 0;    // 1..31
  int hour = 0;   // 0..23
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

LocalTime Now();

}  // namespace platform
