// A worker thread that runs one function, and a wait for it that keeps the
// application's GUI answering meanwhile.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/gui.h"

// What a worker runs: everything it needs is bound into the function, and
// it reports its outcome through what it was bound to.
using TWorkerMethod = std::function<void()>;

// The end of a worker, as a waiter finds it: raised as the worker's very last
// act, so a wait that begins after the worker has already ended still finds
// the end recorded; the raise also wakes a GUI thread that sleeps until input
// arrives.
struct TThreadCompletion {
  platform::WakeSignal ended;
};
using TThreadHandle = std::shared_ptr<TThreadCompletion>;

// A worker that its creator starts and waits for. It is created suspended so
// that nothing runs before the creator is ready to wait. The wait joins the
// worker before it returns, so a worker never outlives the wait nor anything
// its creator bound into the function.
class TWaitThread {
 public:
  explicit TWaitThread(TWorkerMethod method);

  TWaitThread(const TWaitThread&) = delete;
  TWaitThread& operator=(const TWaitThread&) = delete;

  // Starts the worker and returns once it has ended and has been joined,
  // processing the GUI's messages while it waits (RunOnWorkerAndWait). An
  // error that escapes the function ends the worker; the waiter only learns
  // that it has ended. A second call returns at once.
  void ResumeAndWait();

 private:
  TWorkerMethod method_;
  bool started_ = false;
};

// Waits until the worker behind `handle` has raised its end. The wait wakes
// on every input and message for the application and processes them, so the
// window paints and answers during the whole wait. Returns 0 when the worker
// ended, 0xFFFFFFFF (WAIT_FAILED) for an empty handle.
std::uint32_t MsgWaitForThread(const TThreadHandle& handle);

// Runs `method` on a worker and returns when it has ended and has been
// joined, processing the GUI's messages meanwhile.
void RunWaitThread(TWorkerMethod method);
