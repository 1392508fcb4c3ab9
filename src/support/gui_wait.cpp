// The GUI thread's one wait: the questions in their rhythm, the messages as
// they arrive.
#include "support/gui_wait.h"

#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds from now until `end`, rounded up, at least 1 while it lies
// ahead; 0 once it has come.
std::uint32_t MsUntil(Clock::time_point end) {
  const Clock::time_point now = Clock::now();
  if (now >= end) return 0;
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(end - now).count();
  return static_cast<std::uint32_t>((us + 999) / 1000);
}

// The signal of the waits that have none of their own: input, messages and
// time end their sleep. Made once, on the first wait, and never raised.
platform::WakeSignal& NeverRaised() {
  static platform::WakeSignal never;
  return never;
}

}  // namespace

void PumpUntil(const std::function<bool()>& done, std::uint32_t pollMs, platform::WakeSignal* wake,
               const std::function<void()>& dispatch) {
  for (;;) {
    // A raise that came before the question has been seen by `done`; one
    // that comes later ends the sleep below and has `done` asked again.
    const bool raisedBefore = wake != nullptr && wake->IsSet();
    const Clock::time_point asked = Clock::now();
    if (done()) return;
    // A raise that `done` has seen and answered with "not yet" must not
    // make every later sleep end at once.
    if (raisedBefore) wake = nullptr;
    platform::WakeSignal& signal = wake != nullptr ? *wake : NeverRaised();
    const Clock::time_point next = asked + std::chrono::milliseconds(pollMs);
    // The messages that came in while `done` ran are handled first, so the
    // sleep below only ends on what arrives after them.
    for (;;) {
      if (dispatch) {
        dispatch();
      } else {
        platform::ProcessMessages();
      }
      if (signal.IsSet()) break;
      const std::uint32_t left = MsUntil(next);
      if (left == 0) break;
      platform::WaitForWakeOrInput(signal, left);
    }
  }
}
