// Driving the test's own windows from outside, as a user would: xdotool (and
// other X tools) run in a small shell script beside the test.
//
// The same code serves both builds. The script is started through the shell
// service with "/bin/sh"; under Wine that starts the Unix shell itself, with
// the test's working directory and environment (DISPLAY included). Wine hands
// out no process handle for a Unix program, so the script reports its end
// through a file in the working directory, and the test polls for that file
// while it keeps handling its GUI messages: the windows under test must stay
// responsive while xdotool works on them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/process.h"

namespace testing_support {

class UnixScript {
 public:
  // Starts `script` (sh syntax) at once. It is stopped after `limitSeconds`
  // by timeout(1), so a window that never shows cannot hang the test.
  explicit UnixScript(const std::string& script, int limitSeconds = 30);
  ~UnixScript();
  UnixScript(const UnixScript&) = delete;
  UnixScript& operator=(const UnixScript&) = delete;

  // False (with StartError()) when the shell could not be started.
  bool Started() const { return started_; }
  const std::string& StartError() const { return startError_; }

  // True once the script has ended; reads its exit code and output then.
  // Never blocks.
  bool Poll();
  // Processes GUI messages until the script has ended or `timeoutMs` passed.
  bool WaitPumping(std::uint32_t timeoutMs);

  // The script's exit code (124 when timeout(1) stopped it), -1 before it
  // has ended.
  int ExitCode() const { return exitCode_; }
  // Everything the script wrote to standard output and standard error.
  const std::string& Output() const { return output_; }

 private:
  std::string base_;
  bool started_ = false;
  bool finished_ = false;
  std::string startError_;
  int exitCode_ = -1;
  std::string output_;
  platform::ProcessHandle process_;
};

// `text` as one sh word (single-quoted).
std::string ShellQuote(const std::string& text);

// An xdotool --name pattern that matches exactly `title` (the pattern is an
// extended regular expression; its special characters are escaped).
std::string ExactTitlePattern(const std::string& title);

// Pumps GUI messages for `ms` milliseconds.
void PumpFor(std::uint32_t ms);

// Pumps GUI messages until `done()` or `timeoutMs` passed; returns done().
bool PumpUntil(const std::function<bool()>& done, std::uint32_t timeoutMs);

}  // namespace testing_support
