// The worker threads of the companion updater and the message-pumping wait.
#include "companion/SynchedThreads.h"

#include <utility>

#include "platform/gui.h"

namespace {

// The wait wakes on input and on the worker's end; this bound only keeps a
// missed wake-up from stretching the wait.
constexpr std::uint32_t kLongestSleepMs = 250;
constexpr std::uint32_t kWaitFailed = 0xFFFFFFFFu;

}  // namespace

TSimpleThread::TSimpleThread(bool createSuspended, TArgMethod method, void* arg)
    : Arg(arg), Method(std::move(method)), handle_(std::make_shared<TThreadCompletion>()) {
  if (!createSuspended) Resume();
}

void TSimpleThread::Execute() {
  if (Method) Method(Arg);
}

void TSimpleThread::Resume() {
  if (started_) return;
  started_ = true;
  TThreadHandle handle = handle_;
  const bool waited = waited_;
  // The thread frees its object when the method returns (free on terminate);
  // it keeps its own reference to the completion state, which it marks as the
  // very last thing, so a waiter never sees the end before the object is gone.
  handle->thread = std::thread([this, handle]() {
    try {
      Execute();
    } catch (...) {
      // An error that escapes the method ends the thread; the waiter only
      // learns that the thread has ended.
    }
    try {
      delete this;
    } catch (...) {
    }
    handle->ended.Set();
  });
  if (!waited) handle->thread.detach();
}

TWaitThread::TWaitThread(TArgMethod method, void* arg)
    : TSimpleThread(true, std::move(method), arg) {
  waited_ = true;
}

void TWaitThread::ResumeAndWait() {
  // The handle is taken before the start, because the object may be gone by
  // the time Resume returns.
  TThreadHandle handle = Handle();
  Resume();
  MsgWaitForThread(handle);
}

std::uint32_t MsgWaitForThread(const TThreadHandle& handle) {
  if (!handle) return kWaitFailed;
  while (!handle->ended.IsSet()) {
    platform::WaitForWakeOrInput(handle->ended, kLongestSleepMs);
    platform::ProcessMessages();
  }
  if (handle->thread.joinable()) handle->thread.join();
  return 0;
}

void RunWaitThread(TWaitThread*& worker, TArgMethod method, void* arg) {
  worker = new TWaitThread(std::move(method), arg);
  worker->ResumeAndWait();
  worker = nullptr;
}
