// RunOnWorkerAndWait: the job runs on a worker, the worker is joined before
// the wait returns, an error of the job stays on the worker, and the window's
// messages are handled on the waiting thread meanwhile (by the caller's
// dispatch, where one is given, and by nothing else).
#include "support/worker_wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "loader/SplashForm.h"
#include "platform/gui.h"

namespace {

using Clock = std::chrono::steady_clock;

// Set by a thread's last act: the end of its thread-local objects, which
// comes after its function has returned and raised its end.
std::atomic<bool> g_workerExited{false};

struct ExitWatch {
  bool armed = false;
  ~ExitWatch() {
    if (!armed) return;
    // Late, so that a wait that did not join would return before it.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    g_workerExited = true;
  }
};

thread_local ExitWatch t_exitWatch;

TEST(WorkerWaitTest, TheJobRunsOnAWorkerThatIsJoinedAndKeepsItsErrors) {
  platform::InitApplication();
  struct Row {
    const char* name;
    std::function<void()> ending;
    bool returned;
  };
  const std::vector<Row> rows = {
      {"returns", [] {}, true},
      {"raises a standard error", [] { throw std::runtime_error("job failed"); }, false},
      {"raises something else", [] { throw 42; }, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    g_workerExited = false;
    std::thread::id ranOn;
    const bool returned = RunOnWorkerAndWait(
        [&ranOn, &r] {
          ranOn = std::this_thread::get_id();
          t_exitWatch.armed = true;
          r.ending();
        },
        50);
    EXPECT_EQ(r.returned, returned);
    EXPECT_NE(std::this_thread::get_id(), ranOn);
    EXPECT_TRUE(g_workerExited) << "the worker had not ended when the wait returned";
  }
}

// The job posts to the window and waits, bounded, until the handler has run:
// a wait that handled no messages would make it give up. Where the caller
// gives a dispatch, every message is handled inside it.
TEST(WorkerWaitTest, TheWindowsMessagesAreHandledWhileTheJobRuns) {
  platform::InitApplication();
  constexpr int kMessages = 5;
  const std::thread::id guiThread = std::this_thread::get_id();
  std::atomic<int> handled{0};
  int handledElsewhere = 0;
  int handledOutsideDispatch = 0;
  int dispatches = 0;
  bool inDispatch = false;
  platform::SplashHandlers handlers;
  handlers.onMessage = [&](std::uint32_t) {
    if (std::this_thread::get_id() != guiThread) ++handledElsewhere;
    if (!inDispatch) ++handledOutsideDispatch;
    ++handled;
  };
  platform::SplashWindow window(LoaderSplashForm(), handlers);

  struct Row {
    const char* name;
    std::function<void()> dispatch;
    bool onlyInDispatch;
  };
  const std::vector<Row> rows = {
      {"PumpUntil's own handling", {}, false},
      {"the caller's dispatch",
       [&] {
         ++dispatches;
         inDispatch = true;
         platform::ProcessMessages();
         inDispatch = false;
       },
       true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    handled = 0;
    handledElsewhere = 0;
    handledOutsideDispatch = 0;
    dispatches = 0;
    int seenByJob = 0;
    RunOnWorkerAndWait(
        [&window, &handled, &seenByJob] {
          const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(10);
          while (seenByJob < kMessages && Clock::now() < giveUp) {
            if (handled == seenByJob) window.Post(platform::kFirstPrivateMessage + 7);
            while (handled == seenByJob && Clock::now() < giveUp) {
              std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            seenByJob = handled;
          }
        },
        250, r.dispatch);
    EXPECT_GE(seenByJob, kMessages) << "messages were not handled while the job ran";
    EXPECT_EQ(0, handledElsewhere);
    if (r.onlyInDispatch) {
      EXPECT_GE(dispatches, kMessages);
      EXPECT_EQ(0, handledOutsideDispatch);
    }
  }
  window.Close();
}

}  // namespace
