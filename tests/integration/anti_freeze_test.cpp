// The window stays alive while the GUI thread waits for the network: an HTTP
// call on the GUI thread dispatches the window's messages at least every
// 125 ms (the anti-freeze), and so does the Internet tester's wait. Calls on
// worker threads dispatch nothing.
//
// Measured, not slept: a helper thread posts a message to a real splash
// window every few milliseconds, and the window's handler notes when it runs.
// The longest gap between two handled messages during a call is how long the
// window was frozen.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "connection/IdAntiFreeze.h"
#include "connection/IdHTTP.h"
#include "connection/u_InternetTester.h"
#include "platform/gui.h"
#include "support/testing.h"
#include "support/u_Utility.h"
#include "support/update_server.h"

namespace {

using testing_support::TestServer;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kTickMessage = 1024 + 200;
// 125 ms plus scheduling noise on a loaded machine (and under Wine).
constexpr long long kMaxFrozenMs = 400;

long long Ms(Clock::duration d) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

// A splash window whose handler notes the time and thread of every message
// it is given, and a thread that keeps posting to it.
class WatchedWindow {
 public:
  WatchedWindow() {
    platform::SplashHandlers handlers;
    handlers.onMessage = [this](std::uint32_t msg) {
      if (msg != kTickMessage) return;
      std::lock_guard<std::mutex> lock(mutex_);
      handled_.push_back(Clock::now());
      if (std::this_thread::get_id() != guiThread_) ++handledElsewhere_;
    };
    window_.reset(new platform::SplashWindow(handlers));
  }
  ~WatchedWindow() { StopPosting(); }

  void StartPosting() {
    Drain();
    posting_ = true;
    poster_ = std::thread([this] {
      while (posting_) {
        window_->PostMessage(kTickMessage);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
  }

  void StopPosting() {
    posting_ = false;
    if (poster_.joinable()) poster_.join();
  }

  // Handles what is still queued and forgets everything noted so far.
  void Drain() {
    platform::ProcessMessages();
    std::lock_guard<std::mutex> lock(mutex_);
    handled_.clear();
    handledElsewhere_ = 0;
  }

  // Messages handled between `from` and `to`, and the longest stretch in that
  // span without one.
  struct Span {
    std::size_t count = 0;
    long long longestGapMs = 0;
    int handledElsewhere = 0;
  };
  Span Between(Clock::time_point from, Clock::time_point to) {
    std::lock_guard<std::mutex> lock(mutex_);
    Span s;
    Clock::time_point last = from;
    for (Clock::time_point t : handled_) {
      if (t < from || t > to) continue;
      ++s.count;
      s.longestGapMs = std::max(s.longestGapMs, Ms(t - last));
      last = t;
    }
    s.longestGapMs = std::max(s.longestGapMs, Ms(to - last));
    s.handledElsewhere = handledElsewhere_;
    return s;
  }

 private:
  const std::thread::id guiThread_ = std::this_thread::get_id();
  std::unique_ptr<platform::SplashWindow> window_;
  std::atomic<bool> posting_{false};
  std::thread poster_;
  std::mutex mutex_;
  // guards: handled_, handledElsewhere_
  std::vector<Clock::time_point> handled_;
  int handledElsewhere_ = 0;
};

// Counts the anti-freeze's own dispatch calls and the threads they came from.
class CountingAntiFreeze : public TIdAntiFreeze {
 public:
  void Process() override {
    ++calls;
    if (std::this_thread::get_id() != GuiThread()) ++callsElsewhere;
    TIdAntiFreeze::Process();
  }
  std::atomic<int> calls{0};
  std::atomic<int> callsElsewhere{0};
};

class AntiFreezeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    platform::InitApplication();
    TestServer::PutFile("/af/slow_headers", "0123456789");
    TestServer::PutFile("/af/slow_body", "0123456789");
    TestServer::PutFile("/software/versie.txt", "5.1.5.203\r\n");
    TestServer::SetRules(
        "{\"/af/slow_headers\": {\"stall_headers\": 1.2},"
        " \"/af/slow_body\": {\"stall_body\": {\"after\": 3, \"seconds\": 1.2}},"
        " \"/software/versie.txt\": {\"never\": true}}");
  }

  void SetUp() override {
    savedLogFolder_ = LogFolder;
    LogFolder = log_.path();
  }
  void TearDown() override { LogFolder = savedLogFolder_; }

  testing_support::TempDir log_;
  std::string savedLogFolder_;
};

TEST_F(AntiFreezeTest, ACallOnTheGuiThreadKeepsDispatchingWhileItWaits) {
  struct Row {
    const char* name;
    const char* path;
    bool get;
    bool active;
  };
  const std::vector<Row> rows = {
      {"waiting for the headers", "/af/slow_headers", false, true},
      {"waiting in the middle of the body", "/af/slow_body", true, true},
      // The control: without an active anti-freeze the window is frozen for
      // the whole stall, which shows that the measurement can see it.
      {"anti-freeze switched off", "/af/slow_headers", false, false},
  };
  WatchedWindow window;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    CountingAntiFreeze antiFreeze;
    antiFreeze.SetActive(r.active);
    window.StartPosting();
    TIdHTTP http;
    const Clock::time_point start = Clock::now();
    try {
      if (r.get) {
        EXPECT_EQ("0123456789", http.Get(TestServer::Url(r.path)));
      } else {
        http.Head(TestServer::Url(r.path));
      }
    } catch (const Exception& e) {
      ADD_FAILURE() << e.ClassName() << ": " << e.Message();
    }
    const Clock::time_point end = Clock::now();
    window.StopPosting();
    const WatchedWindow::Span span = window.Between(start, end);
    EXPECT_EQ(200, http.ResponseCode());
    EXPECT_GE(Ms(end - start), 1100) << "the server stalls for 1.2 s";
    EXPECT_EQ(0, span.handledElsewhere) << "messages are handled on the GUI thread only";
    if (r.active) {
      EXPECT_LT(span.longestGapMs, kMaxFrozenMs) << span.count << " messages handled";
      EXPECT_GE(antiFreeze.calls, 5);
      EXPECT_EQ(0, antiFreeze.callsElsewhere);
    } else {
      EXPECT_EQ(0u, span.count);
      EXPECT_EQ(0, antiFreeze.calls);
    }
  }
}

TEST_F(AntiFreezeTest, ACallOnAWorkerThreadDispatchesNothing) {
  WatchedWindow window;
  CountingAntiFreeze antiFreeze;
  window.StartPosting();
  int responseCode = 0;
  const Clock::time_point start = Clock::now();
  std::thread worker([&responseCode] {
    try {
      TIdHTTP http;
      http.Head(TestServer::Url("/af/slow_headers"));
      responseCode = http.ResponseCode();
    } catch (...) {
      responseCode = -2;
    }
  });
  worker.join();
  const Clock::time_point end = Clock::now();
  window.StopPosting();
  EXPECT_EQ(200, responseCode);
  EXPECT_EQ(0, antiFreeze.calls);
  EXPECT_EQ(0u, window.Between(start, end).count);
}

TEST_F(AntiFreezeTest, TheInternetTesterKeepsDispatchingWhileItWaits) {
  WatchedWindow window;
  window.StartPosting();
  std::uint8_t result;
  Clock::time_point start, end;
  {
    InternetTesterT tester;
    tester.Thread().SetTimeout(1000);
    start = Clock::now();
    result = tester.TestConnection();
    end = Clock::now();
  }
  window.StopPosting();
  const WatchedWindow::Span span = window.Between(start, end);
  EXPECT_EQ(1, result);
  EXPECT_EQ(0, span.handledElsewhere);
  // It polls every 5 ms, far more often than the anti-freeze's 125 ms.
  EXPECT_LT(span.longestGapMs, kMaxFrozenMs) << span.count << " messages handled";
  EXPECT_GE(span.count, 20u);
}

}  // namespace
