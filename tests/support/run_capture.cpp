#include "support/run_capture.h"

#include <cstdlib>

#include "platform/sysinfo.h"
#include "support/testing.h"

namespace testing_support {

namespace {

// std::system hands the command to cmd.exe on Windows and to /bin/sh on the
// Linux port.
bool UsesCmd() { return OnWindows(); }

// One argument as the interpreter must see it. sh: single quotes keep every
// byte; a single quote itself is closed, escaped and reopened. cmd: double
// quotes where there are blanks or cmd's own operators; the programs this
// runs never take double quotes inside an argument.
std::string Quote(const std::string& arg) {
  if (!UsesCmd()) {
    std::string q = "'";
    for (char c : arg) {
      if (c == '\'') {
        q += "'\\''";
      } else {
        q += c;
      }
    }
    return q + "'";
  }
  if (!arg.empty() && arg.find_first_of(" \t&|<>()^") == std::string::npos) return arg;
  return "\"" + arg + "\"";
}

// std::system's result: the exit code itself on Windows; a wait status on the
// Linux port, whose low seven bits are 0 for a normal exit and whose next
// byte is the exit code.
int ExitCodeOf(int status) {
  if (UsesCmd()) return status;
  if ((status & 0x7F) != 0) return -1;
  return (status >> 8) & 0xFF;
}

}  // namespace

CaptureResult RunCapture(const std::string& program, const std::vector<std::string>& args) {
  TempDir dir;
  const std::string outFile = dir / "stdout.txt";
  const std::string errFile = dir / "stderr.txt";
  std::string command = Quote(program);
  for (const std::string& a : args) command += " " + Quote(a);
  command += " >" + Quote(outFile) + " 2>" + Quote(errFile);
  // cmd /c drops the first and the last double quote of a command that
  // starts with one; an outer pair keeps the command's own quotes intact.
  if (UsesCmd() && command.front() == '"') command = "\"" + command + "\"";

  CaptureResult result;
  result.exitCode = ExitCodeOf(std::system(command.c_str()));
  result.out = ReadFile(outFile);
  result.err = ReadFile(errFile);
  return result;
}

}  // namespace testing_support
