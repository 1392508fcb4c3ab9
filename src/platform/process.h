// Processes: a handle on a started process and the list of running ones.
//
// Contract: any thread. `ProcessHandle::Wait` blocks for at most its time-out
// and never processes GUI messages (the caller's loop does that). Never throws.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {

class ProcessHandle {
 public:
  enum class WaitResult { Ended, TimedOut, Failed };

  ProcessHandle();
  ~ProcessHandle();
  ProcessHandle(ProcessHandle&&) noexcept;
  ProcessHandle& operator=(ProcessHandle&&) noexcept;
  ProcessHandle(const ProcessHandle&) = delete;
  ProcessHandle& operator=(const ProcessHandle&) = delete;

  bool IsValid() const;
  // Waits up to `ms` milliseconds for the process to end. Failed when the
  // handle cannot be waited on.
  WaitResult Wait(std::uint32_t ms);
  // Ends the process at once (tests use it on a program that hangs).
  bool Terminate();
  void Close();

  struct Impl;
  explicit ProcessHandle(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

// Which processes ForEachProcessName lists.
enum class ProcessScope {
  // Every process of the machine.
  AllSessions,
  // Only the processes of the caller's own session, as a terminal server
  // separates its users: Windows, the same session id (a process whose
  // session cannot be read is left out); the Linux port, the same real user
  // and, where both can be read, the same login session (/proc/<pid>/
  // sessionid, else the XDG_SESSION_ID of the environment).
  CallerSession,
};

// Calls `visit` with the executable file name (without folder) of every
// running process in `scope` until it returns true. False when the process
// list cannot be read. A process that ends while the list is read is
// skipped, never an error.
bool ForEachProcessName(const std::function<bool(const std::string& exeName)>& visit,
                        ProcessScope scope = ProcessScope::AllSessions);

}  // namespace platform
