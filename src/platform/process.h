// Processes: a handle on a started process, how it ended, and the list of
// running ones.
//
// Contract: any thread. `ProcessHandle::Wait` blocks for at most its time-out
// and never processes GUI messages (the caller's loop does that);
// `ErrorOutputHead` blocks for at most half a second. Never throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {

// How a process ended, once it has.
struct ProcessEnd {
  enum class Kind {
    Unknown,   // still running, not waited on, or the system cannot tell
    ExitCode,  // it returned or was ended with `code` (Windows: also the
               // exception status of a crash or a failed load)
    Signal,    // the Linux port: a signal ended it; `code` is its number
  };
  Kind kind = Kind::Unknown;
  std::uint32_t code = 0;
};

// How much of a started program's standard error is kept for its caller.
constexpr std::size_t kErrorOutputHeadBytes = 4096;

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
  // How the process ended; Unknown until a Wait has answered Ended.
  ProcessEnd End() const;
  // The first kErrorOutputHeadBytes of what the process wrote to its
  // standard error, when its start asked for them (the Linux port; a Windows
  // GUI program has none, so "" there). Once the process has ended, waits
  // up to half a second for the last of it.
  std::string ErrorOutputHead() const;
  void Close();

  struct Impl;
  explicit ProcessHandle(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

// Ends the calling process as a crash does, for the test stand-ins of a
// program that crashes: an access violation on Windows; on the Linux port
// SIGSEGV with its default action, so a handler that a sanitizer build
// installs does not turn it into an orderly exit.
[[noreturn]] void CrashThisProcess();

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

// True when `end` is one that only the system's program loader or a crash
// gives a program, so the program could not start: Windows, the exception
// statuses of a missing DLL, a bad image, a failed DLL initialisation, a
// missing entry point or ordinal, an access violation and an illegal
// instruction; the Linux port, the signals SIGSEGV, SIGILL, SIGBUS and
// SIGABRT, and exit code 127 with the dynamic loader's error in
// `errorOutput`. `why` gets the code with its text for the log.
bool EndedAsUnstartable(const ProcessEnd& end, const std::string& errorOutput, std::string& why);

// The names of the programs that hold `path` open, as far as the system can
// tell (Windows: the Restart Manager), joined with ", "; "" when it cannot.
// May take a moment; for log lines only.
std::string ProgramsHoldingFile(const std::string& path);

}  // namespace platform
