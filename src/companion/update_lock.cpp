// The update lock and the wait for another loader's update.
#include "companion/update_lock.h"

#include "platform/files.h"
#include "platform/sysinfo.h"
#include "support/debug_log.h"
#include "support/gui_wait.h"

namespace companion {

namespace {

const char* const kUpdateLockSuffix = ".lock";
// How long a loader waits for another loader's update before it starts the
// companion it has, and how often it asks meanwhile.
constexpr std::uint32_t kUpdateLockLimitMs = 10 * 60 * 1000;
constexpr std::uint32_t kUpdateLockPollMs = 100;

std::uint32_t& UpdateLockLimitMs() {
  static std::uint32_t limit = kUpdateLockLimitMs;
  return limit;
}

}  // namespace

std::string UpdateLockPath(const std::string& companionPath) {
  return companionPath + kUpdateLockSuffix;
}

void SetUpdateLockLimit(std::uint32_t ms) { UpdateLockLimitMs() = ms; }

UpdateLock TakeUpdateLock(platform::FileLock& lock, const std::string& lockPath) {
  const std::uint32_t start = platform::TickCount();
  bool waited = false;
  UpdateLock taken = UpdateLock::TimedOut;
  PumpUntil(
      [&] {
        platform::Failure error = platform::Failure::None;
        switch (lock.TryLock(lockPath, &error)) {
          case platform::FileLock::Result::Acquired:
            taken = waited ? UpdateLock::AfterWaiting : UpdateLock::AtOnce;
            return true;
          case platform::FileLock::Result::Failed:
            TDebug::LogFmt(
                "Vergrendelen van %s is mislukt (%s), de update gaat zonder vergrendeling door",
                {lockPath, platform::FileErrorText(error)}, "");
            taken = UpdateLock::Without;
            return true;
          case platform::FileLock::Result::Held:
            break;
        }
        if (!waited) {
          TDebug::LogFmt("Sarvo wordt al bijgewerkt door een andere loader, wachten op %s",
                         {lockPath}, "");
          waited = true;
        }
        if (platform::TickCount() - start >= UpdateLockLimitMs()) {
          TDebug::LogFmt("Wachten op %s duurt te lang, Sarvo wordt niet bijgewerkt", {lockPath},
                         "");
          taken = UpdateLock::TimedOut;
          return true;
        }
        return false;
      },
      kUpdateLockPollMs);
  return taken;
}

}  // namespace companion
