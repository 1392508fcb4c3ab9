// Runs a program through the platform's command interpreter and hands back
// what it wrote, so a test can check the system's effects with a tool that
// shares no code with it (Wine's "reg", the Linux port's kestro-reg).
#pragma once

#include <string>
#include <vector>

namespace testing_support {

struct CaptureResult {
  int exitCode = -1;  // -1 when the program did not end normally
  std::string out;    // standard output, as written (CR LF under Windows)
  std::string err;    // standard error
};

// Runs `program` with `args` and waits for it. The program is a path or a
// name the interpreter finds on its own (cmd.exe on Windows, /bin/sh on the
// Linux port); every argument reaches it as one argument, blanks included.
CaptureResult RunCapture(const std::string& program, const std::vector<std::string>& args);

}  // namespace testing_support
