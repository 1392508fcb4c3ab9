// The worker and the GUI thread's wait for it.
#include "support/worker_wait.h"

#include <thread>
#include <utility>

#include "platform/gui.h"
#include "support/gui_wait.h"

bool RunOnWorkerAndWait(std::function<void()> work, std::uint32_t pollMs,
                        const std::function<void()>& dispatch) {
  platform::WakeSignal ended;
  // Written by the worker, read after the join.
  bool returned = false;
  std::thread worker([&ended, &returned, work = std::move(work)]() mutable {
    try {
      if (work) work();
      returned = true;
    } catch (...) {
      // An error must not leave a thread's entry: it would end the process.
    }
    // What the function holds is let go of here, on the worker, before the
    // waiter learns of the end.
    work = nullptr;
    ended.Set();
  });
  struct Joiner {
    std::thread& thread;
    ~Joiner() {
      if (thread.joinable()) thread.join();
    }
  } joiner{worker};  // also when `dispatch` raises
  PumpUntil([&ended] { return ended.IsSet(); }, pollMs, &ended, dispatch);
  worker.join();
  return returned;
}
