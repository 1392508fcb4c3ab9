// What a ProcessHandle holds on the Linux port; shared by process.cpp (which
// waits) and shell.cpp (which starts the child).
#pragma once

#include <sys/types.h>

#include "platform/posix/unique_fd.h"
#include "platform/process.h"

namespace platform {

// A child process of ours. Until it has been reaped, its pid stays reserved
// (the kernel does not reuse the pid of an unreaped child), so waiting on it
// can never hit another process. A handle closed before the child was reaped
// hands the pid to a detached reaper, so no ended child stays a zombie.
struct ProcessHandle::Impl {
  explicit Impl(pid_t childPid);
  ~Impl();
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  pid_t pid = -1;
  UniqueFd pidfd;  // invalid where the kernel has no pidfd_open
  bool reaped = false;
};

}  // namespace platform
