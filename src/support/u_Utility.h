// The loader's static helper classes: TUtility (paths, file facts, process
// starts and small formatting), TDebug (the log file) and TWinDetect (the OS
// version tests that choose how the companion tool is started).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/process.h"
#include "platform/shell.h"
#include "platform/sysinfo.h"
#include "support/Format.h"

class Exception;

// The folder of the log files: the application folder, set before any window
// or thread exists and only read afterwards. Empty means: the executable's
// folder.
extern std::string LogFolder;

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
  static int ShellStart(const std::string& fileName, platform::ShowCommand show);
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

struct TDebug {
  static void Log(const std::string& msg, const std::string& category);
  static void LogFmt(const std::string& fmt, const FmtArgs& args, const std::string& category);
  static void AppendToLog(const std::string& fileName, const std::string& msg,
                          const std::string& category);
  static void LogException(const void* sender, const std::exception* e, const std::string& context);

  // The pieces of a log line, exposed for the tests of the file format.
  static constexpr std::int64_t kRotationLimit = 33554432;
  static std::string ZeroPad(long long value, int width);
  static std::string FixedWidth(const std::string& text, int width);
  static std::string RotatedName(const std::string& fileName, const platform::LocalTime& when);
};

struct TWinDetect {
  static bool IsWin7();
  static bool IsVista();
  // Tests hand the two version tests a record of their choice; an empty
  // function gives them the platform's own record again.
  static void SetOsVersionSourceForTesting(std::function<platform::OsVersion()> source);
};

// Trims characters of code 0 to 32 from both ends (Delphi's Trim).
std::string TrimControl(const std::string& s);
// Upper-cases the ASCII letters a to z only.
std::string UpperAscii(const std::string& s);
// Everything up to and including the last folder separator (or ':' on
// Windows); empty when there is none.
std::string ExtractFilePath(const std::string& path);
// The part after the folder.
std::string ExtractFileName(const std::string& path);
// Replaces the extension (from the last '.' after the folder) or appends it.
std::string ChangeFileExt(const std::string& path, const std::string& ext);
std::string IncludeTrailingPathDelimiter(const std::string& path);
// The switch test of TUtility::ParamExists over a given argument list.
bool ParamExistsIn(const std::vector<std::string>& args, const std::string& name);
