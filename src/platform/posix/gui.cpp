// The application's GUI on the Linux port, built on FLTK 1.3: opening the
// display, the message loop and the wake signal. The splash window is in
// gui_splash.cpp, the message box in gui_message_box.cpp; gui_fltk.h holds
// what they share.
#include "platform/gui.h"
// After platform/gui.h: X defines macros that would replace its names.
#include <FL/Fl.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/Fl_Return_Button.H>
#include <FL/Fl_Widget.H>
#include <FL/Fl_Window.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
// Xlib defines these as macros; they would replace names of this file.
#undef Status
#undef None

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/gui_fltk.h"

namespace platform {

using namespace fltk;

// ---------------------------------------------------------------------------
// The application

void InitApplication() {
  if (g_initialised) return;
  Display* display = XOpenDisplay(nullptr);
  if (!display) {
    const char* name = std::getenv("DISPLAY");
    std::fprintf(stderr,
                 "KestroLoader: cannot open the X display \"%s\"; set DISPLAY to a running X "
                 "server.\n",
                 name ? name : "");
    std::exit(1);
  }
  fl_open_display(display);
  // Enables Fl::awake() from worker threads, which post to the window.
  Fl::lock();
  g_awakeReady = true;
  Fl::visible_focus(0);
  g_initialised = true;
}

void RunMessageLoop() {
  while (!g_terminated) {
    if (DeliverOnePosted()) continue;
    // Returns after at least one event, or when a message is posted.
    Fl::wait();
  }
}

void ProcessMessages() {
  if (!g_initialised) return;
  do {
    Fl::check();
  } while (DeliverOnePosted());
}

bool Terminated() { return g_terminated; }

struct WakeSignal::Impl {
  std::mutex lock;
  std::condition_variable raised;
  std::atomic<bool> set{false};
};

WakeSignal::WakeSignal() : impl_(std::make_unique<Impl>()) {}
WakeSignal::~WakeSignal() = default;

void WakeSignal::Set() {
  {
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->set = true;
  }
  impl_->raised.notify_all();
  // Ends a running Fl::wait; the wake stays pending when no wait runs yet,
  // so a wait that begins afterwards returns at once.
  if (g_awakeReady) Fl::awake();
}

bool WakeSignal::IsSet() const { return impl_->set; }

bool WaitForWakeOrInput(WakeSignal& signal, std::uint32_t ms) {
  if (signal.IsSet()) return true;
  if (!g_initialised) {
    // No display: only the signal and the time can end the wait.
    std::unique_lock<std::mutex> guard(signal.impl_->lock);
    signal.impl_->raised.wait_for(guard, std::chrono::milliseconds(ms),
                                  [&] { return signal.impl_->set.load(); });
    return signal.IsSet();
  }
  Fl::wait(static_cast<double>(ms) / 1000.0);
  return signal.IsSet();
}

}  // namespace platform
