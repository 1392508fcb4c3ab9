// TUtility's process functions: the elevated start and wait, the process
// list test, the system's message texts.
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "platform/error_text.h"
#include "platform/process.h"
#include "platform/shell.h"
#include "support/gui_wait.h"
#include "support/path_text.h"
#include "support/u_Utility.h"
#include "support/win_detect.h"

namespace {

// The started program's end is noticed within this time; the splash window's
// messages are handled as they arrive in between.
constexpr std::uint32_t kWaitSliceMs = 50;

// Test hook. Set and read on the GUI thread only.
TUtility::ExecuteAndWaitWatch& Watch() {
  static TUtility::ExecuteAndWaitWatch watch;
  return watch;
}

}  // namespace

// --- TUtility: starting programs -----------------------------------------------

void TUtility::SetExecuteAndWaitWatchForTesting(ExecuteAndWaitWatch watch) {
  Watch() = std::move(watch);
}

int TUtility::ExecuteAndWait(const std::string& fileName, const std::string& parameters) {
  return StartAndWait(fileName, parameters, false).startError;
}

TUtility::TStartWatch TUtility::ExecuteAndWatch(const std::string& fileName,
                                                const std::string& parameters) {
  return StartAndWait(fileName, parameters, true);
}

TUtility::TStartWatch TUtility::StartAndWait(const std::string& fileName,
                                             const std::string& parameters, bool keepErrorOutput) {
  TStartWatch watch;
  // The shell asks for administrator rights first, where Windows knows such
  // requests.
  const std::string verb = platform::ElevatingVerb(TWinDetect::Version());
  // The program runs in its own folder, so files it opens by a relative name
  // are its own.
  const std::string directory = ExtractFilePath(fileName);
  if (Watch().onStart) Watch().onStart(verb, directory);

  // Every program started here opens in its normal window. When asked, and
  // where the platform can, the head of its error output is kept: a program
  // that its system cannot load says why there.
  platform::ShellExecResult started = platform::ShellExecuteProcess(
      verb, fileName, parameters, directory, platform::ShowCommand::Normal, keepErrorOutput);
  // Counted from the moment the shell hands the process over: the time a
  // user takes to answer the request for administrator rights is no part of
  // the program's run.
  const std::uint32_t startedAt = platform::TickCount();
  // A missing file, a refused elevation request or any other refusal: the
  // caller logs the platform's code with its text.
  if (!started.ok) {
    watch.startError = static_cast<int>(platform::CodeOf(started.error));
    return watch;
  }

  // The wait ends when the process has ended, and also when its handle cannot
  // be waited on at all (the shell handed the file to a program that was
  // already running, or the wait itself fails): otherwise the loader would
  // wait for ever. The handle is closed by its owner on every way out.
  bool firstLook = true;
  PumpUntil(
      [&started, &firstLook] {
        if (started.process.Wait(0) != platform::ProcessHandle::WaitResult::TimedOut) return true;
        // Every look after the first closes a slice in which it still ran.
        if (!firstLook && Watch().onSlice) Watch().onSlice();
        firstLook = false;
        return false;
      },
      kWaitSliceMs);
  watch.ranMs = platform::TickCount() - startedAt;
  watch.end = started.process.End();
  watch.errorOutput = started.process.ErrorOutputHead();
  return watch;
}

bool TUtility::IsProcessRunning(const std::string& name) {
  const std::string wanted = UpperAscii(name);
  // An empty name is in every name; nobody asks for it, and it names no
  // program, so it is not running.
  if (wanted.empty()) return false;
  bool found = false;
  // A process list that cannot be read counts as "not running": the wait
  // that asks must never hang on it. Only the caller's own session counts:
  // on a terminal server another user's companion tool is none of this
  // loader's business and must not hold its start.
  platform::ForEachProcessName(
      [&](const std::string& exeName) {
        found = UpperAscii(exeName).find(wanted) != std::string::npos;
        return found;
      },
      platform::ProcessScope::CallerSession);
  return found;
}

std::string TUtility::SysErrorMessage(std::uint32_t code) {
  std::string text = platform::SystemMessageText(code);
  // The system's texts end in a full stop and a line end; both go, and with
  // them any blanks and control characters at the end.
  while (!text.empty() && (static_cast<unsigned char>(text.back()) <= 32 || text.back() == '.')) {
    text.pop_back();
  }
  return text;
}
