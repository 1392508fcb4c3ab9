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
  // State values.
  static constexpr std::uint8_t kNotRunning = 0;
  static constexpr std::uint8_t kUnderWay = 1;
  static constexpr std::uint8_t kFinished = 2;
  // TestResult values (1 belongs to the tester's time-out and is never stored
  // here).
  static constexpr std::uint8_t kNoTest = 0;
  static constexpr std::uint8_t kCompleted = 2;
  static constexpr std::uint8_t kError = 3;

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

  // 0 not running yet, 1 request under way, 2 finished. A reader that sees 2
  // sees the final TestResult (release/acquire).
  std::uint8_t State() const { return state_.load(std::memory_order_acquire); }
  // 0 no test, 2 the server answered with success, 3 error.
  std::uint8_t TestResult() const { return testResult_.load(std::memory_order_acquire); }

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
  void Finish(std::uint8_t outcome);

  const TickSource ticks_;
  std::atomic<std::int32_t> timeout_{5000};
  std::atomic<std::uint8_t> state_{kNotRunning};
  std::atomic<std::uint8_t> testResult_{kNoTest};

  mutable std::mutex control_;
  // guards: url_, started_, stopRequested_, thread_
  std::string url_;
  bool started_ = false;
  bool stopRequested_ = false;
  std::thread thread_;
};
