// The Windows GUI: what the splash window and the message loop share.
// Private to platform/win32/gui*.cpp.
#pragma once

namespace platform {
namespace win32 {

// True once the application was closed (the splash window's Close, Alt+F4 or
// a WM_QUIT); the message loop ends on it. A new splash window clears it.
inline bool g_terminated = false;

}  // namespace win32
}  // namespace platform
