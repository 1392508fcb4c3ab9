// The loader's log (TDebug): one file beside the executable, shared by every
// loader of the installation, and the debugger output. debug_log.cpp
// describes the file.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "platform/clock.h"
#include "support/Format.h"

// The folder of the log files: the application folder, set before any window
// or thread exists and only read afterwards. Empty means: the executable's
// folder.
extern std::string LogFolder;

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
