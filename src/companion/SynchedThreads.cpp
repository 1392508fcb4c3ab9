// The worker threads of the companion updater and the message-pumping wait.
#include "companion/SynchedThreads.h"

#include <chrono>
#include <utility>

#include "platform/gui.h"

namespace {

// How long one wait slice lasts before the GUI's messages are processed.
// Short enough that the splash window paints and answers without a visible
// delay, long enough not to burn the processor.
constexpr auto kWaitSlice = std::chrono::milliseconds(15);
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
    std::lock_guard<std::mutex> guard(handle->lock);
    handle->done = true;
    handle->ended.notify_all();
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
  for (;;) {
    {
      std::unique_lock<std::mutex> guard(handle->lock);
      if (handle->ended.wait_for(guard, kWaitSlice, [&] { return handle->done; })) break;
    }
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
