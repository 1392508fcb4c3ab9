// The worker thread of the companion updater and the message-pumping wait.
#include "companion/SynchedThreads.h"

#include <utility>

#include "platform/gui.h"
#include "support/gui_wait.h"

namespace {

// The wait wakes on input and on the worker's end; this bound only keeps a
// missed wake-up from stretching the wait.
constexpr std::uint32_t kLongestSleepMs = 250;
constexpr std::uint32_t kWaitFailed = 0xFFFFFFFFu;

}  // namespace

TWaitThread::TWaitThread(TWorkerMethod method)
    : method_(std::move(method)), completion_(std::make_shared<TThreadCompletion>()) {}

TWaitThread::~TWaitThread() {
  if (thread_.joinable()) thread_.join();
}

void TWaitThread::ResumeAndWait() {
  if (thread_.joinable() || completion_->ended.IsSet()) return;
  // The worker owns its function and its own share of the completion
  // record, so it touches nothing of this object while it runs.
  thread_ = std::thread([method = std::move(method_), completion = completion_]() {
    try {
      if (method) method();
    } catch (...) {
      // No error crosses the thread's entry: the waiter only learns that
      // the worker has ended.
    }
    completion->ended.Set();
  });
  MsgWaitForThread(completion_);
  thread_.join();
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
