// The worker thread of the companion updater and the message-pumping wait.
#include "companion/SynchedThreads.h"

#include <utility>

#include "support/gui_wait.h"
#include "support/worker_wait.h"

namespace {

// The wait wakes on input and on the worker's end; this bound only keeps a
// missed wake-up from stretching the wait.
constexpr std::uint32_t kLongestSleepMs = 250;
constexpr std::uint32_t kWaitFailed = 0xFFFFFFFFu;

}  // namespace

TWaitThread::TWaitThread(TWorkerMethod method) : method_(std::move(method)) {}

void TWaitThread::ResumeAndWait() {
  if (started_) return;
  started_ = true;
  // The worker owns the function from here on and lets go of it before the
  // wait returns.
  RunOnWorkerAndWait(std::move(method_), kLongestSleepMs);
}

std::uint32_t MsgWaitForThread(const TThreadHandle& handle) {
  if (!handle) return kWaitFailed;
  PumpUntil([&handle] { return handle->ended.IsSet(); }, kLongestSleepMs, &handle->ended);
  return 0;
}

void RunWaitThread(TWorkerMethod method) {
  TWaitThread worker(std::move(method));
  worker.ResumeAndWait();
}
