// The modal message box on Windows: the system's own, without owner window.
#include <windows.h>

#include <string>

#include "platform/gui.h"
#include "platform/gui_guard.h"

namespace platform {

int ShowMessageBox(const std::string& text, const std::string& title, MessageBoxStyle style) {
  UINT flags = MB_OK;
  switch (style.icon) {
    case MessageBoxIcon::None:
      break;
    case MessageBoxIcon::Error:
      flags |= MB_ICONERROR;
      break;
    case MessageBoxIcon::Question:
      flags |= MB_ICONQUESTION;
      break;
    case MessageBoxIcon::Warning:
      flags |= MB_ICONWARNING;
      break;
    case MessageBoxIcon::Information:
      flags |= MB_ICONINFORMATION;
      break;
  }
  if (style.foreground) flags |= MB_SETFOREGROUND;
  if (style.topmost) flags |= MB_TOPMOST;
  return ::MessageBoxA(nullptr, text.c_str(), title.c_str(), flags);
}

void ShowFrameworkError(const std::string& text) {
  ::MessageBoxA(nullptr, text.c_str(), gui_detail::ApplicationName().c_str(), MB_OK | MB_ICONERROR);
}

}  // namespace platform
