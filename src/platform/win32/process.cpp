// Process handles and the process list through the Win32 API.
#include "platform/process.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstring>

#include "platform/win32/win_handles.h"

namespace platform {

// The single-byte form of the process entry, as the process watch reads it.
static_assert(sizeof(PROCESSENTRY32) == 296, "PROCESSENTRY32 (A form) must be 296 bytes");

ProcessHandle::ProcessHandle() = default;
ProcessHandle::ProcessHandle(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ProcessHandle::~ProcessHandle() = default;
ProcessHandle::ProcessHandle(ProcessHandle&&) noexcept = default;
ProcessHandle& ProcessHandle::operator=(ProcessHandle&&) noexcept = default;

bool ProcessHandle::IsValid() const { return impl_ && impl_->process.valid(); }

ProcessHandle::WaitResult ProcessHandle::Wait(std::uint32_t ms) {
  if (!IsValid()) return WaitResult::Failed;
  switch (::WaitForSingleObject(impl_->process.get(), ms)) {
    case WAIT_OBJECT_0:
      return WaitResult::Ended;
    case WAIT_TIMEOUT:
      return WaitResult::TimedOut;
    default:
      // WAIT_FAILED: a handle that cannot be waited on would otherwise keep
      // the caller's loop going for ever.
      return WaitResult::Failed;
  }
}

void ProcessHandle::Close() { impl_.reset(); }

bool ProcessHandle::Terminate() {
  // Exit code 1: the process did not end of its own accord.
  return IsValid() && ::TerminateProcess(impl_->process.get(), 1) != FALSE;
}

bool ForEachProcessName(const std::function<bool(const std::string& exeName)>& visit,
                        ProcessScope scope) {
  // The caller's own session; when even that cannot be read, nothing can be
  // told apart and every process is listed, as without a scope.
  DWORD ownSession = 0;
  const bool bySession = scope == ProcessScope::CallerSession &&
                         ::ProcessIdToSessionId(::GetCurrentProcessId(), &ownSession) != FALSE;
  win32::FileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return false;
  PROCESSENTRY32 entry;
  std::memset(&entry, 0, sizeof(entry));
  entry.dwSize = sizeof(entry);
  if (!::Process32First(snapshot.get(), &entry)) return true;  // an empty list
  do {
    // The name field holds the executable's file name without folder; it is
    // NUL-terminated within its 260 characters.
    std::string name(entry.szExeFile, strnlen(entry.szExeFile, sizeof(entry.szExeFile)));
    // A process that has ended since the snapshot, or whose session is
    // hidden from us, belongs to no session we can vouch for.
    DWORD session = 0;
    const bool inScope =
        !bySession ||
        (::ProcessIdToSessionId(entry.th32ProcessID, &session) != FALSE && session == ownSession);
    if (inScope && visit(name)) break;
    entry.dwSize = sizeof(entry);
  } while (::Process32Next(snapshot.get(), &entry));
  return true;
}

}  // namespace platform
