// Does the update server answer in time (kTimeout)? The Internet tester runs
// the probe thread and waits for it on the GUI thread, keeping the window
// alive, and turns the probe's outcome and its own deadline into one result.
#pragma once

#include <cstdint>
#include <memory>

#include "connection/u_TestThread.h"

class InternetTesterT {
 public:
  // Results of TestConnection. Their numbers are kept: callers read the
  // result as a number, and success is the probe's own success number.
  enum Outcome : std::uint8_t {
    kNotReachable = 0,
    kTimedOut = 1,
    kOnline = TestThreadT::kCompleted,
  };
  // The probe's time limit and the tester's own deadline.
  static constexpr std::int32_t kTimeout = 15000;
  static constexpr std::uint32_t kPollMs = 5;

  using TickSource = TestThreadT::TickSource;

  // Creates the probe thread, not running, for the probe file on the update
  // server (update_server::kProbePath) with Timeout kTimeout.
  explicit InternetTesterT(TickSource ticks = &platform::TickCount);
  // Ends the probe thread and waits for it: at once when it never ran or has
  // finished, else until its HTTP client gives up.
  ~InternetTesterT();
  InternetTesterT(const InternetTesterT&) = delete;
  InternetTesterT& operator=(const InternetTesterT&) = delete;

  // GUI thread, once. Starts the probe and waits, handling GUI messages as
  // they arrive and looking at the probe every kPollMs, until it has finished
  // or Timeout has passed: kOnline, kTimedOut when the deadline passed,
  // kNotReachable when the server was not reachable. Raises nothing.
  Outcome TestConnection();

  TestThreadT& Thread() { return *thread_; }

  // Whether `timeout` ms have passed between the ticks t0 and now of the
  // wrapping 32-bit counter: the elapsed time is (now - t0) modulo 2^32; a
  // negative timeout has always passed.
  static bool DeadlinePassed(std::uint32_t t0, std::uint32_t now, std::int32_t timeout);
  // The result from the probe's TestResult and the deadline: a deadline that
  // passed wins, even over a probe that finished in the same pass.
  static Outcome Result(std::uint8_t testResult, bool timedOut);

 private:
  const TickSource ticks_;
  std::unique_ptr<TestThreadT> thread_;
};
