// The Linux port's one monotonic clock, shared by the tick count and the
// process waits' deadlines (clock.cpp).
#pragma once

#include <cstdint>

namespace platform {

// Milliseconds of CLOCK_MONOTONIC since an arbitrary start; never wraps.
std::uint64_t MonotonicMs();

}  // namespace platform
