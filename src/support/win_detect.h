// The Windows version tests that choose how the companion tool is started
// (TWinDetect), and the version record they read.
#pragma once

#include <functional>

#include "platform/sysinfo.h"

struct TWinDetect {
  static bool IsWin7();
  static bool IsVista();
  // The record the version tests read: the one a test handed in, else the
  // platform's own. Read afresh on every call.
  static platform::OsVersion Version();
  // Tests hand the version tests a record of their choice; an empty
  // function gives them the platform's own record again.
  static void SetOsVersionSourceForTesting(std::function<platform::OsVersion()> source);
};
