// Repeats of a file operation past a brief lock.
#include "companion/lock_retry.h"

#include "platform/sysinfo.h"
#include "support/debug_log.h"
#include "support/gui_wait.h"
#include "support/u_Utility.h"

namespace companion {

namespace {

constexpr std::uint32_t kFirstDelayMs = 100;
constexpr std::uint32_t kLongestDelayMs = 1000;

}  // namespace

bool IsBriefLock(platform::Failure failure) {
  return failure == platform::Failure::AccessDenied ||
         failure == platform::Failure::SharingViolation ||
         failure == platform::Failure::LockViolation;
}

std::uint32_t LockRetryDelayMs(int failedAttempts) {
  std::uint32_t delay = kFirstDelayMs;
  for (int i = 1; i < failedAttempts && delay < kLongestDelayMs; ++i) delay *= 2;
  return delay < kLongestDelayMs ? delay : kLongestDelayMs;
}

RetryOutcome RetryPastBriefLocks(const std::function<bool(platform::Failure*)>& attempt,
                                 const RetryPacing& pacing) {
  RetryOutcome outcome;
  const std::uint32_t start = pacing.nowMs();
  for (;;) {
    platform::Failure failure = platform::Failure::None;
    ++outcome.attempts;
    if (attempt(&failure)) {
      outcome.ok = true;
      outcome.last = platform::Failure::None;
      return outcome;
    }
    outcome.last = failure;
    if (!IsBriefLock(failure)) return outcome;
    if (outcome.firstLock == platform::Failure::None) outcome.firstLock = failure;
    // Differences of the 32-bit tick count stay right across its wrap.
    const std::uint32_t spent = pacing.nowMs() - start;
    if (spent >= kLockRetryLimitMs) return outcome;
    const std::uint32_t left = kLockRetryLimitMs - spent;
    const std::uint32_t delay = LockRetryDelayMs(outcome.attempts);
    pacing.wait(delay < left ? delay : left);
  }
}

RetryPacing WorkerPacing() {
  return {[] { return platform::TickCount(); }, [](std::uint32_t ms) { platform::SleepMs(ms); }};
}

RetryPacing GuiThreadPacing() {
  return {[] { return platform::TickCount(); },
          [](std::uint32_t ms) {
            const std::uint32_t from = platform::TickCount();
            PumpUntil([from, ms] { return platform::TickCount() - from >= ms; }, ms);
          }};
}

void LogRetriedSuccess(const std::string& path, const RetryOutcome& outcome,
                       const std::string& heldBy) {
  if (!outcome.ok || outcome.attempts < 2) return;
  const std::uint32_t code = platform::CodeOf(outcome.firstLock);
  std::string why = std::to_string(code) + ": " + TUtility::SysErrorMessage(code);
  if (!heldBy.empty()) why += ", in gebruik door " + heldBy;
  TDebug::LogFmt("Vervangen van %s lukte na %d pogingen (%s)", {path, outcome.attempts, why}, "");
}

}  // namespace companion
