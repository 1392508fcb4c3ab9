// What a ProcessHandle holds on the Linux port; shared by process.cpp (which
// waits) and shell.cpp (which starts the child).
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "platform/posix/unique_fd.h"
#include "platform/process.h"

namespace platform {

// A child process of ours. Until it has been reaped, its pid stays reserved
// (the kernel does not reuse the pid of an unreaped child), so waiting on it
// can never hit another process. A handle closed before the child was reaped
// hands the pid to a detached reaper, so no ended child stays a zombie.
// The head of a child's standard error. A detached reader drains the pipe
// to its end, so the child never blocks on a full pipe nor dies of a closed
// one, keeps the first bytes here and passes every byte on to our own
// standard error. It touches nothing but this record and its descriptor.
struct ErrorCapture {
  std::mutex mutex;
  // guards:
  std::string head;
  bool ended = false;  // the pipe's last writer has closed it
  std::condition_variable endedChanged;
};

// Starts the reader of `readEnd`; false (nothing kept) when no thread can be
// made.
bool StartErrorReader(UniqueFd readEnd, const std::shared_ptr<ErrorCapture>& capture);

struct ProcessHandle::Impl {
  explicit Impl(pid_t childPid);
  ~Impl();
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  pid_t pid = -1;
  UniqueFd pidfd;  // invalid where the kernel has no pidfd_open
  bool reaped = false;
  int status = 0;  // waitpid's status, once reaped here
  bool statusKnown = false;
  std::shared_ptr<ErrorCapture> errors;  // null unless the start asked
};

}  // namespace platform
