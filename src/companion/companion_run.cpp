// The companion tool's start and the watch for its end.
#include "companion/companion_run.h"

#include <cstdint>

#include "companion/rollback.h"
#include "connection/IdHTTP.h"
#include "support/debug_log.h"
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

// Records the start mode and logs the start, as every start does, and lets
// go of the idle connections to the update server.
void RecordStart(ISarvoSettings& settings, const std::string& path, const std::string& mode) {
  settings.SetState(ISarvoSettings::kStartInProgress);
  settings.SetParams(mode);
  TDebug::LogFmt("Starting %s with \"%s\"", {path, settings.GetParams()}, "");
  // The user works in the companion for as long as it runs; no connection to
  // the update server is held open meanwhile.
  TIdHTTP::CloseIdleConnections();
}

void LogStartCode(int code) {
  TDebug::LogFmt("## LastErrorCode: %d: %s",
                 {code, TUtility::SysErrorMessage(static_cast<std::uint32_t>(code))}, "");
}

// Waits for every companion process and clears the start mode.
void AfterStart(ISarvoSettings& settings) {
  WaitForCompanionToClose();
  settings.SetState(ISarvoSettings::kNoStart);
  settings.SetParams("");
}

// How the log names a release: its version, or its size without one.
std::string ReleaseName(const std::string& path) {
  const std::string version = TUtility::ReadFileVersion(path);
  if (!version.empty()) return "v" + version;
  return std::to_string(TUtility::GetFileSize(path)) + " bytes";
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
  RecordStart(settings, path, mode);
  LogStartCode(TUtility::ExecuteAndWait(path, ""));
  AfterStart(settings);
}

void StartInstalledCompanion(ISarvoSettings& settings, const std::string& path,
                             const std::string& mode, const ReleaseIdentity& release) {
  RecordStart(settings, path, mode);
  const TUtility::TStartWatch watch = TUtility::ExecuteAndWatch(path, "");
  LogStartCode(watch.startError);
  std::string why;
  if (CouldNotStart(watch, why)) {
    TDebug::LogFmt("Sarvo %s start niet (%s), de vorige versie wordt teruggezet",
                   {ReleaseName(path), why}, "");
    switch (RollBack(path)) {
      case RollbackResult::RolledBack:
        TDebug::Log("Vorige versie van Sarvo teruggezet", "");
        // Kept before the restored one runs, so a loader that is stopped
        // meanwhile still does not fetch the release again.
        RememberRefusedRelease(settings, path, release);
        RecordStart(settings, path, mode);
        LogStartCode(TUtility::ExecuteAndWait(path, ""));
        break;
      case RollbackResult::NoBackup:
        // The new companion stays: it is all there is.
        TDebug::Log("Geen vorige versie om terug te zetten", "");
        break;
      case RollbackResult::Failed:
      case RollbackResult::LockHeld:
        // Logged where it failed or stopped; the new companion is still whole.
        break;
    }
  }
  AfterStart(settings);
}

}  // namespace companion
