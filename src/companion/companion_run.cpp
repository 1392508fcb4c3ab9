// The companion tool's start and the watch for its end.
#include "companion/companion_run.h"

#include <cstdint>

#include "connection/IdHTTP.h"
#include "support/gui_wait.h"
#include "support/u_Utility.h"

namespace companion {

namespace {

// Every executable name the companion tool has shipped under, in the order
// in which they are looked for. A running process whose name merely contains
// one of them counts too.
const char* const kCompanionNames[] = {
    "Sarvo2006.exe",
    "Sarvo2009.exe",
    "Sarvo2010.exe",
    "Sarvo.exe",
};

// How often the process list is looked at while the companion runs.
constexpr std::uint32_t kPollIntervalMs = 250;

bool AnyCompanionRunning() {
  for (const char* name : kCompanionNames) {
    if (TUtility::IsProcessRunning(name)) return true;
  }
  return false;
}

}  // namespace

void WaitForCompanionToClose() {
  TDebug::Log("Waiting for Sarvo....", "");
  // The first look happens at once. There is no time limit: the user closes
  // the tool. The splash window keeps painting and answering while the tool
  // runs: its messages are handled as they come, between two looks at the
  // list.
  PumpUntil([] { return !AnyCompanionRunning(); }, kPollIntervalMs);
  TDebug::Log("Sarvo has been closed", "");
}

void StartCompanion(ISarvoSettings& settings, const std::string& path, const std::string& mode) {
  settings.SetState(ISarvoSettings::kStartInProgress);
  settings.SetParams(mode);
  TDebug::LogFmt("Starting %s with \"%s\"", {path, settings.GetParams()}, "");
  // The user works in the companion for as long as it runs; no connection to
  // the update server is held open meanwhile.
  TIdHTTP::CloseIdleConnections();
  const int code = TUtility::ExecuteAndWait(path, "");
  TDebug::LogFmt("## LastErrorCode: %d: %s",
                 {code, TUtility::SysErrorMessage(static_cast<std::uint32_t>(code))}, "");
  WaitForCompanionToClose();
  settings.SetState(ISarvoSettings::kNoStart);
  settings.SetParams("");
}

}  // namespace companion
