// The anti-freeze: keeps the application's window alive while an HTTP call
// made on the GUI thread waits for the network.
//
// The splash window creates one TIdAntiFreeze on the GUI thread; from then on
// every TIdHTTP call made on that thread handles the GUI messages through
// Process, as they arrive and at least every IdleTimeOut milliseconds, while
// it waits (connecting or reading). Calls on any other thread never dispatch
// messages: a worker must not run the window's handlers.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

class TIdAntiFreeze {
 public:
  static constexpr std::uint32_t kDefaultIdleTimeOut = 125;

  // Becomes the process's anti-freeze, with the calling thread as the GUI
  // thread. Active, IdleTimeOut 125 ms.
  TIdAntiFreeze();
  // Steps down, if it is still the process's anti-freeze.
  virtual ~TIdAntiFreeze();
  TIdAntiFreeze(const TIdAntiFreeze&) = delete;
  TIdAntiFreeze& operator=(const TIdAntiFreeze&) = delete;

  bool Active() const;
  void SetActive(bool active);
  std::uint32_t IdleTimeOut() const;
  void SetIdleTimeOut(std::uint32_t ms);
  std::thread::id GuiThread() const { return guiThread_; }

  // Dispatches the application's pending GUI messages. Called on the GUI
  // thread only.
  virtual void Process();

  // The idle time-out when a call on the calling thread should keep the
  // window alive (an active anti-freeze exists and this is its GUI thread);
  // 0 otherwise.
  static std::uint32_t IdleTimeOutForThisThread();
  // Runs Process of the process's anti-freeze if the calling thread is its
  // GUI thread and it is active; false when nothing was run.
  static bool DoProcess();

 private:
  const std::thread::id guiThread_;
  // Read by worker threads deciding that they are not the GUI thread, so they
  // are atomic even though only the GUI thread writes them.
  std::atomic<bool> active_{true};
  std::atomic<std::uint32_t> idleTimeOut_{kDefaultIdleTimeOut};
};
