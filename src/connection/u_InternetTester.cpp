// The Internet tester: the polling wait for the probe thread.
#include "connection/u_InternetTester.h"

#include "connection/UpdateServer.h"
#include "connection/update_server_layout.h"
#include "support/gui_wait.h"

InternetTesterT::InternetTesterT(TickSource ticks)
    : ticks_(ticks), thread_(new TestThreadT(ticks)) {
  thread_->SetURL(UpdateServerUrl(update_server::kProbePath));
  thread_->SetTimeout(kTimeout);
}

InternetTesterT::~InternetTesterT() { thread_->TerminateAndWaitFor(); }

bool InternetTesterT::DeadlinePassed(std::uint32_t t0, std::uint32_t now, std::int32_t timeout) {
  if (timeout < 0) return true;
  const std::uint32_t elapsed = now - t0;
  return elapsed >= static_cast<std::uint32_t>(timeout);
}

InternetTesterT::Outcome InternetTesterT::Result(std::uint8_t testResult, bool timedOut) {
  if (timedOut) return kTimedOut;
  return testResult == TestThreadT::kCompleted ? kOnline : kNotReachable;
}

// Not RunOnWorkerAndWait (worker_wait.h): that wait lasts until its worker
// has ended, and the probe may not hold this one past the deadline. The probe
// thread belongs to TestThreadT, which outlives the wait; its destructor joins
// it.
InternetTesterT::Outcome InternetTesterT::TestConnection() {
  const std::uint32_t t0 = ticks_();
  bool timedOut = false;
  bool firstLook = true;
  thread_->Start();
  PumpUntil(
      [this, t0, &timedOut, &firstLook] {
        // The deadline is first looked at after one poll interval; Timeout is
        // read afresh every time. A deadline that has passed wins over a
        // probe that finished meanwhile.
        if (!firstLook) timedOut = DeadlinePassed(t0, ticks_(), thread_->Timeout());
        firstLook = false;
        // The State test also comes first, so a probe that has already
        // finished is not waited for.
        return timedOut || thread_->State() >= TestThreadT::kFinished;
      },
      kPollMs);
  // Does not wait: a probe still under way runs on until its HTTP client
  // returns, and its outcome is then ignored.
  thread_->Stop();
  return Result(thread_->TestResult(), timedOut);
}
