// TUtility, the loader's static helper class: install locations, file
// facts, program starts, the command line, formatting and the entries to the
// log.
//
// The log itself (TDebug, LogFolder), the Windows version tests (TWinDetect)
// and the text helpers on paths and names have headers of their own; they are
// included here for the units that take those names from this header.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>

#include "platform/process.h"
#include "platform/shell.h"
#include "support/Format.h"
#include "support/debug_log.h"
#include "support/path_text.h"
#include "support/win_detect.h"

// Sets LogFolder to the application folder; the program entry calls this
// before it creates the application's window.
void InitializeUtilityUnit();
void FinalizeUtilityUnit();

struct TUtility {
  // --- install locations and file facts ---------------------------------
  static std::string ExeName();
  static std::string AppPath();
  static std::string CanonicalizePath(const std::string& path);
  static std::string ReadFileVersion(const std::string& fileName);
  static std::int32_t GetFileSize(const std::string& fileName);
  static std::string GetComputerName();

  // --- starting programs ------------------------------------------------
  // platform::ShellStart's answer (platform/shell.h), a number that the log
  // shows as it is.
  static int ShellStart(const std::string& fileName, platform::ShowCommand show);
  // 0 when the program started (once it has ended), else the platform's code
  // of the failed start.
  static int ExecuteAndWait(const std::string& fileName, const std::string& parameters);
  // What ExecuteAndWatch saw of a start.
  struct TStartWatch {
    // 0 when the program started, else the platform's code of the failed
    // start (what ExecuteAndWait returns).
    int startError = 0;
    // How it ended, and after how many milliseconds (counted from the start
    // to the look that found it ended).
    platform::ProcessEnd end;
    std::uint32_t ranMs = 0;
    // The head of its standard error where the platform keeps it.
    std::string errorOutput;
  };
  // ExecuteAndWait that also tells how the program ended.
  static TStartWatch ExecuteAndWatch(const std::string& fileName, const std::string& parameters);
  // Lets a test watch ExecuteAndWait at work: `onStart` sees the verb and the
  // directory of each start request, `onSlice` runs after every wait slice
  // that timed out (before the GUI messages are processed). Empty functions
  // switch the watch off; the program itself never sets them.
  struct ExecuteAndWaitWatch {
    std::function<void(const std::string& verb, const std::string& directory)> onStart;
    std::function<void()> onSlice;
  };
  static void SetExecuteAndWaitWatchForTesting(ExecuteAndWaitWatch watch);
  // True when `name` occurs (ASCII letters compared in upper case) in the
  // executable name of a running process of the caller's own session.
  static bool IsProcessRunning(const std::string& name);
  // The system's message text for an error code, trailing control characters,
  // blanks and periods removed.
  static std::string SysErrorMessage(std::uint32_t code);

  // --- command line -----------------------------------------------------
  static bool ParamExists(const std::string& name);

  // --- formatting -------------------------------------------------------
  static std::string FormatDuration(std::uint32_t milliseconds);
  static std::string FormatFileSize(std::int32_t size);

  // --- log --------------------------------------------------------------
  static void LogFmt(const std::string& fmt, const FmtArgs& args);
  static void RotateFile(const std::string& fileName, std::int64_t maxSize);
  static void LogException(const void* sender, const std::exception* e, const std::string& context);

 private:
  static TStartWatch StartAndWait(const std::string& fileName, const std::string& parameters,
                                  bool keepErrorOutput);
};
