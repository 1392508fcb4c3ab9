// What both GUI back ends share behind platform/gui.h: the application's
// texts for the framework's error display, and the guard that keeps handler
// errors from unwinding into the system's or the toolkit's dispatch code.
// Internal to the back ends; GUI thread only, like the service itself.
#pragma once

#include <exception>
#include <string>
#include <utility>

#include "platform/gui.h"
#include "platform/sysinfo.h"

namespace platform {
namespace gui_detail {

// Set from the splash form of each new window; they outlive the window, as
// the framework's error display may still be needed after it has gone.
struct FrameworkTexts {
  std::string applicationName;
  std::string unknownErrorText;
};

inline FrameworkTexts& Texts() {
  static FrameworkTexts texts;
  return texts;
}

inline void AdoptFormTexts(const SplashForm& form) {
  Texts().applicationName = form.applicationName;
  Texts().unknownErrorText = form.unknownErrorText;
}

// The title of the framework's error display: the application's name, or
// before any form named it the executable's file name without folder and
// extension, as a program without a title of its own is called.
inline std::string ApplicationName() {
  if (!Texts().applicationName.empty()) return Texts().applicationName;
  std::string name = ModuleFileName();
  const std::size_t folder = name.find_last_of(kPathDelims);
  if (folder != std::string::npos) name.erase(0, folder + 1);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return name;
}

inline std::string CurrentExceptionText() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return Texts().unknownErrorText;
  }
}

// Shows the exception being handled with the framework's error display.
inline void ReportCurrentException() noexcept {
  try {
    ShowFrameworkError(CurrentExceptionText());
  } catch (...) {
    // Not even the error could be shown (out of memory); nothing is left to
    // report it with.
  }
}

// Runs a handler the caller installed; whatever it throws is shown by the
// framework's error display and goes no further, because an exception must
// never unwind through the window procedure dispatch of Windows or the
// C-style event dispatch of FLTK.
template <typename F>
void CallGuarded(F&& f) noexcept {
  try {
    std::forward<F>(f)();
  } catch (...) {
    ReportCurrentException();
  }
}

}  // namespace gui_detail
}  // namespace platform
