// A real splash window whose handler notes when (and on which thread) each
// message reaches it, and a thread that keeps posting to it: the longest gap
// between two handled messages during a wait is how long the window was
// frozen. Measured, not slept.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "loader/SplashForm.h"
#include "platform/gui.h"

namespace testing_support {

class WatchedWindow {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::uint32_t kTickMessage = 1024 + 200;

  WatchedWindow() {
    platform::SplashHandlers handlers;
    handlers.onMessage = [this](std::uint32_t msg) {
      if (msg != kTickMessage) return;
      std::lock_guard<std::mutex> lock(mutex_);
      handled_.push_back(Clock::now());
      if (std::this_thread::get_id() != guiThread_) ++handledElsewhere_;
    };
    window_.reset(new platform::SplashWindow(LoaderSplashForm(), handlers));
  }
  ~WatchedWindow() { StopPosting(); }

  void StartPosting() {
    Drain();
    posting_ = true;
    poster_ = std::thread([this] {
      while (posting_) {
        window_->Post(kTickMessage);
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

  // Messages handled between `from` and `to`, the longest stretch in that
  // span without one, and how much of the span lay in stretches longer than
  // `slowMs` (a measure that one hiccup of a loaded machine does not spoil).
  struct Span {
    std::size_t count = 0;
    long long longestGapMs = 0;
    long long msInGapsOver = 0;
    int handledElsewhere = 0;
  };
  Span Between(Clock::time_point from, Clock::time_point to, long long slowMs = 1000000) {
    std::lock_guard<std::mutex> lock(mutex_);
    Span s;
    Clock::time_point last = from;
    auto gap = [&s, slowMs](Clock::duration d) {
      const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
      s.longestGapMs = ms > s.longestGapMs ? ms : s.longestGapMs;
      if (ms > slowMs) s.msInGapsOver += ms;
    };
    for (Clock::time_point t : handled_) {
      if (t < from || t > to) continue;
      ++s.count;
      gap(t - last);
      last = t;
    }
    gap(to - last);
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

}  // namespace testing_support
