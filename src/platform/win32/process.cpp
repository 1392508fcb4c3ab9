// Process handles and the process list through the Win32 API.
#include "platform/process.h"

#include <windows.h>
#include <restartmanager.h>
#include <tlhelp32.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/win_handles.h"

namespace platform {

// The single-byte form of the process entry, as the process watch reads it:
// 296 bytes in a 32-bit program, 304 in a 64-bit one (th32DefaultHeapID is
// pointer-sized).
static_assert(sizeof(PROCESSENTRY32) == (sizeof(void*) == 8 ? 304 : 296),
              "PROCESSENTRY32 (A form) must be 296 bytes (32-bit) or 304 bytes (64-bit)");

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

ProcessEnd ProcessHandle::End() const {
  ProcessEnd end;
  DWORD code = 0;
  // STILL_ACTIVE (259) is also a code a program may end with; the wait's
  // answer is asked first, so an ended process with it counts as ended.
  if (!IsValid() || ::WaitForSingleObject(impl_->process.get(), 0) != WAIT_OBJECT_0 ||
      !::GetExitCodeProcess(impl_->process.get(), &code)) {
    return end;
  }
  end.kind = ProcessEnd::Kind::ExitCode;
  end.code = code;
  return end;
}

std::string ProcessHandle::ErrorOutputHead() const { return std::string(); }

bool EndedAsUnstartable(const ProcessEnd& end, const std::string& /*errorOutput*/,
                        std::string& why) {
  if (end.kind != ProcessEnd::Kind::ExitCode) return false;
  // The statuses the system's loader ends a process with when it cannot load
  // it, and those of a crash before it could do anything; a program never
  // chooses them as its own exit code.
  struct Status {
    DWORD code;
    const char* name;
  };
  static const Status kStatuses[] = {
      {0xC0000135, "STATUS_DLL_NOT_FOUND"},       {0xC000007B, "STATUS_INVALID_IMAGE_FORMAT"},
      {0xC0000142, "STATUS_DLL_INIT_FAILED"},     {0xC0000139, "STATUS_ENTRYPOINT_NOT_FOUND"},
      {0xC0000138, "STATUS_ORDINAL_NOT_FOUND"},   {0xC0000005, "STATUS_ACCESS_VIOLATION"},
      {0xC000001D, "STATUS_ILLEGAL_INSTRUCTION"},
  };
  for (const Status& s : kStatuses) {
    if (s.code != end.code) continue;
    char hex[16];
    wsprintfA(hex, "0x%08lX", static_cast<unsigned long>(s.code));
    why = std::string(hex) + ": " + s.name;
    return true;
  }
  return false;
}

namespace {

// A Restart Manager session, ended on every way out.
class RestartManagerSession {
 public:
  RestartManagerSession() {
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    ok_ = ::RmStartSession(&session_, 0, key) == ERROR_SUCCESS;
  }
  ~RestartManagerSession() {
    if (ok_) ::RmEndSession(session_);
  }
  RestartManagerSession(const RestartManagerSession&) = delete;
  RestartManagerSession& operator=(const RestartManagerSession&) = delete;
  bool ok() const { return ok_; }
  DWORD get() const { return session_; }

 private:
  DWORD session_ = 0;
  bool ok_ = false;
};

std::string NarrowName(const WCHAR* wide) {
  char narrow[CCH_RM_MAX_APP_NAME + 1] = {};
  // The ANSI code page, as every text of the loader.
  ::WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, sizeof(narrow) - 1, nullptr, nullptr);
  return narrow;
}

}  // namespace

std::string ProgramsHoldingFile(const std::string& path) {
  const int wideLength = ::MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
  if (wideLength <= 0) return std::string();
  std::vector<WCHAR> wide(static_cast<std::size_t>(wideLength));
  ::MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), wideLength);
  RestartManagerSession session;
  if (!session.ok()) return std::string();
  LPCWSTR files[] = {wide.data()};
  if (::RmRegisterResources(session.get(), 1, files, 0, nullptr, 0, nullptr) != ERROR_SUCCESS) {
    return std::string();
  }
  // Asked twice: first for the count, then for the list; a holder that
  // comes in between makes the second call ask for more room, and then the
  // names stay unknown.
  UINT needed = 0;
  UINT count = 0;
  DWORD reasons = 0;
  DWORD rc = ::RmGetList(session.get(), &needed, &count, nullptr, &reasons);
  if (rc != ERROR_MORE_DATA || needed == 0) return std::string();
  std::vector<RM_PROCESS_INFO> holders(needed);
  count = needed;
  rc = ::RmGetList(session.get(), &needed, &count, holders.data(), &reasons);
  if (rc != ERROR_SUCCESS) return std::string();
  std::string names;
  for (UINT i = 0; i < count; ++i) {
    if (!names.empty()) names += ", ";
    names += NarrowName(holders[i].strAppName);
  }
  return names;
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

namespace {
// A write through an address the compiler cannot see is null: a real access
// violation, not a trap the compiler puts in its place.
volatile std::uintptr_t gCrashAddress = 0;
}  // namespace

void CrashThisProcess() {
  *reinterpret_cast<volatile int*>(gCrashAddress) = 1;
  std::abort();  // not reached: the access violation ends the process
}

}  // namespace platform
