// The connection probe: one HEAD request to the update server on a worker
// thread, timed and logged, with a progress byte and a result byte that the
// Internet tester polls from the GUI thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "platform/sysinfo.h"

class TestThreadT {
 public:
  // What State tells. Callers read it as a number too, so the numbers stay.
  enum RunState : std::uint8_t {
    kNotRunning = 0,
    kUnderWay = 1,
    kFinished = 2,
  };
  // What TestResult tells. The Internet tester's result shares the numbers:
  // its success is kCompleted, and 1, its time-out, is never stored here.
  enum ProbeResult : std::uint8_t {
    kNoTest = 0,
    kCompleted = 2,
    kError = 3,
  };

  // The millisecond tick counter the run is timed with: 32 bits, wrapping at
  // 2^32 like GetTickCount. Tests hand in a counter close to its wrap.
  using TickSource = std::uint32_t (*)();

  // Created idle: the thread does not run until Start.
  explicit TestThreadT(TickSource ticks = &platform::TickCount);
  // TerminateAndWaitFor.
  ~TestThreadT();
  TestThreadT(const TestThreadT&) = delete;
  TestThreadT& operator=(const TestThreadT&) = delete;

  // The requested address; set before Start.
  std::string URL() const;
  void SetURL(const std::string& url);
  // Milliseconds for connecting and for every wait for data (5000 at first);
  // also shown in the log.
  std::int32_t Timeout() const { return timeout_.load(std::memory_order_relaxed); }
  void SetTimeout(std::int32_t ms) { timeout_.store(ms, std::memory_order_relaxed); }

  // Not running yet, request under way, finished. A reader that sees
  // kFinished sees the final TestResult (release/acquire).
  RunState State() const { return state_.load(std::memory_order_acquire); }
  // No test, the server answered with success, or an error.
  ProbeResult TestResult() const { return testResult_.load(std::memory_order_acquire); }

  // Lets the thread run its single request. Only the first call counts; after
  // a Stop it does nothing.
  void Start();
  // Asks the thread to end. A request under way runs on until the HTTP client
  // returns; a run that has not begun yet never sends one.
  void Stop();
  // Stop, then block until the thread has ended (at once when it never ran).
  void TerminateAndWaitFor();

  // t1 - t0 of the 32-bit tick counter, modulo 2^32: true across a wrap.
  static std::uint32_t ElapsedTicks(std::uint32_t t0, std::uint32_t t1) { return t1 - t0; }

 private:
  void Execute();
  void Finish(ProbeResult outcome);

  const TickSource ticks_;
  std::atomic<std::int32_t> timeout_{5000};
  std::atomic<RunState> state_{kNotRunning};
  std::atomic<ProbeResult> testResult_{kNoTest};

  mutable std::mutex control_;
  // guards: url_, started_, stopRequested_, thread_
  std::string url_;
  bool started_ = false;
  bool stopRequested_ = false;
  std::thread thread_;
};
