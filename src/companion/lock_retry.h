// Past a brief lock: a virus scanner or an indexer opens a freshly written
// program for a moment, and a replace or copy of it then fails. Those
// failures, and only those, are tried again for a short while.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/error_codes.h"

namespace companion {

// The longest time that attempts are repeated, counted from the first.
constexpr std::uint32_t kLockRetryLimitMs = 10000;

// True for the failures another program's brief hold on a file gives:
// access denied, a sharing violation and a lock violation.
bool IsBriefLock(platform::Failure failure);

// The pause after `failedAttempts` failed attempts (1 or more): 100 ms,
// doubled after every failure up to 1 s.
std::uint32_t LockRetryDelayMs(int failedAttempts);

// What the caller of RetryPastBriefLocks lends it: the clock and the wait
// between attempts (a plain sleep on a worker thread, the message-aware
// wait on the GUI thread).
struct RetryPacing {
  std::function<std::uint32_t()> nowMs;
  std::function<void(std::uint32_t ms)> wait;
};

// The outcome of RetryPastBriefLocks.
struct RetryOutcome {
  bool ok = false;
  int attempts = 0;
  // The failure of the last attempt; None when it succeeded.
  platform::Failure last = platform::Failure::None;
  // The first brief lock met, the reason for the repeats; None when none.
  platform::Failure firstLock = platform::Failure::None;
};

// Makes `attempt` until it succeeds, fails with anything but a brief lock,
// or kLockRetryLimitMs have passed since the first attempt; between two
// attempts it pauses LockRetryDelayMs, never past the limit. `attempt`
// returns true on success and otherwise sets its Failure.
RetryOutcome RetryPastBriefLocks(const std::function<bool(platform::Failure*)>& attempt,
                                 const RetryPacing& pacing);

// The pacing of the thread that calls it: a plain sleep on a worker, the
// GUI thread's one wait (the splash window alive) on the GUI thread.
RetryPacing WorkerPacing();
RetryPacing GuiThreadPacing();

// The line for a file operation that succeeded only after repeats; `path`
// is the file that was replaced and `heldBy` whoever held it, if known.
void LogRetriedSuccess(const std::string& path, const RetryOutcome& outcome,
                       const std::string& heldBy);

}  // namespace companion
