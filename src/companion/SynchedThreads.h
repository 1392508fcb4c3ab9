// A worker thread that runs one method with one argument, and a wait for it
// that keeps the application's GUI answering meanwhile.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "platform/gui.h"

// The method a worker runs: one object argument, no result.
using TArgMethod = std::function<void(void* arg)>;

// What a waiter holds on to: it outlives the thread object, which frees
// itself when its method returns, so a wait that begins after the worker has
// already ended still finds the worker's end recorded.
struct TThreadCompletion {
  // Raised as the worker's very last act; it also wakes a GUI thread that
  // sleeps until input arrives.
  platform::WakeSignal ended;
  std::thread thread;  // joined by the waiter; detached when nobody waits
};
using TThreadHandle = std::shared_ptr<TThreadCompletion>;

class TSimpleThread {
 public:
  // Stores the method and its argument; a thread that is not created
  // suspended starts at once and nobody waits for it.
  TSimpleThread(bool createSuspended, TArgMethod method, void* arg);
  virtual ~TSimpleThread() = default;

  TSimpleThread(const TSimpleThread&) = delete;
  TSimpleThread& operator=(const TSimpleThread&) = delete;

  // Starts a suspended thread; does nothing when it already runs.
  void Resume();
  TThreadHandle Handle() const { return handle_; }

  void* Arg;
  TArgMethod Method;

 protected:
  // Runs Method with Arg once.
  virtual void Execute();
  // A waited-for thread is joined by its waiter instead of being detached.
  bool waited_ = false;

 private:
  TThreadHandle handle_;
  bool started_ = false;
};

// A worker that is always created suspended, so that its creator can start
// it and wait for its end.
class TWaitThread : public TSimpleThread {
 public:
  TWaitThread(TArgMethod method, void* arg);
  // Starts the thread and returns once it has ended, processing the GUI's
  // messages while it waits. The object is gone afterwards.
  void ResumeAndWait();
};

// Waits until the thread behind `handle` has ended, then joins it. The wait
// wakes on every input and message for the application and processes them,
// so the window paints and answers during the whole wait. Returns 0 when the
// thread ended, 0xFFFFFFFF (WAIT_FAILED) for an empty handle.
std::uint32_t MsgWaitForThread(const TThreadHandle& handle);

// Runs `method(arg)` on a worker and returns when it has ended; `worker`
// names the running worker during the wait and is null afterwards.
void RunWaitThread(TWaitThread*& worker, TArgMethod method, void* arg);
