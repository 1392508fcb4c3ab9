// The connection probe thread: its single timed HEAD request and its log lines.
#include "connection/u_TestThread.h"

#include <exception>
#include <utility>

#include "connection/IdHTTP.h"
#include "support/debug_log.h"
#include "support/u_Utility.h"

TestThreadT::TestThreadT(TickSource ticks) : ticks_(ticks) {}

TestThreadT::~TestThreadT() { TerminateAndWaitFor(); }

std::string TestThreadT::URL() const {
  std::lock_guard<std::mutex> lock(control_);
  return url_;
}

void TestThreadT::SetURL(const std::string& url) {
  std::lock_guard<std::mutex> lock(control_);
  url_ = url;
}

void TestThreadT::Start() {
  std::lock_guard<std::mutex> lock(control_);
  if (started_ || stopRequested_) return;
  started_ = true;
  try {
    thread_ = std::thread([this] {
      // Nothing may leave a thread entry: an escaped error would end the
      // process. Execute catches everything it can name; this is the last net.
      try {
        Execute();
      } catch (...) {
        Finish(kError);
      }
    });
  } catch (const std::exception& e) {
    // No thread: the probe cannot run, which counts as an error during the
    // test rather than as a server that does not answer.
    TDebug::LogFmt("%s", {std::string(e.what())}, "");
    Finish(kError);
  }
}

void TestThreadT::Stop() {
  std::lock_guard<std::mutex> lock(control_);
  stopRequested_ = true;
}

void TestThreadT::TerminateAndWaitFor() {
  std::thread running;
  {
    std::lock_guard<std::mutex> lock(control_);
    stopRequested_ = true;
    running = std::move(thread_);
  }
  // Joined outside the lock: the run takes it briefly when it begins.
  if (running.joinable()) running.join();
}

void TestThreadT::Finish(ProbeResult outcome) {
  // TestResult first: whoever sees kFinished must see the final result.
  testResult_.store(outcome, std::memory_order_release);
  state_.store(kFinished, std::memory_order_release);
}

void TestThreadT::Execute() {
  std::string url;
  {
    std::lock_guard<std::mutex> lock(control_);
    // A stop that came before the run began ends it without any request.
    if (stopRequested_) return;
    url = url_;
  }
  const std::int32_t timeout = Timeout();

  ProbeResult outcome = kNoTest;
  try {
    TIdHTTP http;
    http.ConnectTimeout = timeout;
    http.ReadTimeout = timeout;
    // The whole request, also headers that come in a trickle, ends within
    // the same time: the tester gives up then, and its destructor waits for
    // this thread.
    http.TotalTimeout = timeout;

    const std::uint32_t t0 = ticks_();
    state_.store(kUnderWay, std::memory_order_release);
    TDebug::LogFmt("Testen van verbinding. URL: %s, Timeout: %s",
                   {url, TUtility::FormatDuration(static_cast<std::uint32_t>(timeout))}, "");

    bool answered = false;
    try {
      http.Head(url);
      answered = true;
    } catch (const EIdHTTPProtocolException& e) {
      outcome = kError;
      TDebug::LogFmt("Code: %d, %s", {e.ErrorCode(), e.Message()}, "");
    } catch (const std::exception& e) {
      outcome = kError;
      TDebug::LogFmt("%s", {Describe(e).message}, "");
    }
    if (answered) {
      // The elapsed time includes the first log line and the connection
      // set-up, and is true across a wrap of the tick counter.
      const std::uint32_t t1 = ticks_();
      outcome = kCompleted;
      TDebug::LogFmt("Response received in: %s", {TUtility::FormatDuration(ElapsedTicks(t0, t1))},
                     "");
    }
  } catch (...) {
    if (outcome == kNoTest) outcome = kError;
  }
  Finish(outcome);
}
