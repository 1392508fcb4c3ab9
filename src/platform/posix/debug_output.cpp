// The debugger output channel of the Linux port is standard error.
#include "platform/debug_output.h"

#include <unistd.h>

#include <cerrno>

namespace platform {

void DebugOutput(const std::string& text) {
  // One write call for text and line end, so lines of two threads do not mix
  // (a pipe keeps writes up to PIPE_BUF whole). Only an interrupted or partial
  // write is continued; any other failure drops the text, as a debugger
  // channel without listener does.
  std::string line = text + "\n";
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    ssize_t n = write(STDERR_FILENO, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace platform
