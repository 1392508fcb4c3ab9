// The application's GUI on Windows: the message loop and the wake signal,
// with the plain Win32 API. The splash window is in gui_splash.cpp, the
// message box in gui_message_box.cpp; gui_win32.h holds what they share.
#include "platform/gui.h"

#include <windows.h>

#include <memory>
#include <stdexcept>

#include "platform/win32/gui_win32.h"
#include "platform/win32/win_handles.h"

namespace platform {

using win32::g_terminated;

namespace {

bool g_initialised = false;

}  // namespace

void InitApplication() {
  if (g_initialised) return;
  // The window uses no common controls, so InitCommonControls is not needed.
  // Each splash form registers its window class when its first window is
  // made, as only the form knows the class name.
  g_initialised = true;
}

void RunMessageLoop() {
  MSG msg;
  while (!g_terminated) {
    const BOOL got = ::GetMessageA(&msg, nullptr, 0, 0);
    if (got == 0) {  // WM_QUIT
      g_terminated = true;
      break;
    }
    if (got == -1) break;  // only for a bad window handle, which we never pass
    ::TranslateMessage(&msg);
    ::DispatchMessageA(&msg);
  }
}

void ProcessMessages() {
  MSG msg;
  while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      g_terminated = true;
      continue;
    }
    ::TranslateMessage(&msg);
    ::DispatchMessageA(&msg);
  }
}

bool Terminated() { return g_terminated; }

struct WakeSignal::Impl {
  // A manual-reset event: once set it stays set for every later wait.
  win32::KernelHandle event{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
};

WakeSignal::WakeSignal() : impl_(std::make_unique<Impl>()) {
  if (!impl_->event) throw std::runtime_error("CreateEvent failed");
}
WakeSignal::~WakeSignal() = default;

void WakeSignal::Set() { ::SetEvent(impl_->event.get()); }

bool WakeSignal::IsSet() const {
  return ::WaitForSingleObject(impl_->event.get(), 0) == WAIT_OBJECT_0;
}

bool WaitForWakeOrInput(WakeSignal& signal, std::uint32_t ms) {
  HANDLE event = signal.impl_->event.get();
  const DWORD result = ::MsgWaitForMultipleObjects(1, &event, FALSE, ms, QS_ALLINPUT);
  return result == WAIT_OBJECT_0 || signal.IsSet();
}

}  // namespace platform
