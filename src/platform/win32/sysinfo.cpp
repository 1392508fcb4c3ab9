// Facts about the running process and the machine, from the Win32 API.
#include "platform/sysinfo.h"

#include <windows.h>

#include <cstring>

namespace platform {

const char kPathDelim = '\\';
const char* const kPathDelims = "\\:";

// The elevation test reads exactly this record layout; a different size
// would make GetVersionExA refuse the call.
static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA must be 148 bytes");

std::string ModuleFileName() {
  // The path may be longer than MAX_PATH (a "\\?\" path), so the buffer grows
  // until the returned length no longer fills it.
  std::string buf(MAX_PATH, '\0');
  for (;;) {
    DWORD n = ::GetModuleFileNameA(nullptr, &buf[0], static_cast<DWORD>(buf.size()));
    if (n == 0) return std::string();
    if (n < buf.size()) {
      buf.resize(n);
      return buf;
    }
    if (buf.size() >= 32768) return std::string();
    buf.resize(buf.size() * 2);
  }
}

std::uintptr_t ModuleHandle() {
  return reinterpret_cast<std::uintptr_t>(::GetModuleHandleA(nullptr));
}

bool ComputerName(std::string& out) {
  // Sixteen bytes: the NetBIOS name of at most 15 characters and its NUL.
  char buf[16] = {};
  DWORD len = sizeof(buf);
  if (!::GetComputerNameA(buf, &len)) {
    out.clear();
    return false;
  }
  out.assign(buf, strnlen(buf, sizeof(buf)));
  return true;
}

std::uint32_t CurrentThreadId() { return ::GetCurrentThreadId(); }

std::uint32_t TickCount() { return ::GetTickCount(); }

OsVersion GetOsVersion() {
  OSVERSIONINFOA info;
  ZeroMemory(&info, sizeof(info));
  info.dwOSVersionInfoSize = sizeof(info);
  // The result is deliberately not consulted: a refused call leaves the
  // record zero-filled, which the elevation test reads as "no elevation".
  ::GetVersionExA(&info);
  OsVersion v;
  v.major = info.dwMajorVersion;
  v.minor = info.dwMinorVersion;
  v.build = info.dwBuildNumber;
  v.platformId = info.dwPlatformId;
  return v;
}

namespace {

// Characters 1 to 32 separate arguments; the end of the text is the NUL.
bool IsSeparator(unsigned char c) { return c >= 1 && c <= 32; }

}  // namespace

std::vector<std::string> CommandLineArgs() {
  std::vector<std::string> args;
  const char* p = ::GetCommandLineA();
  if (p == nullptr) return args;
  bool first = true;
  for (;;) {
    while (IsSeparator(static_cast<unsigned char>(*p))) ++p;
    if (*p == '\0') break;
    std::string arg;
    bool quoted = false;
    // An argument runs to the next separator outside quotes; the quotes
    // themselves are dropped, so "C:\My Files\x.exe" is one argument.
    while (*p != '\0' && (quoted || !IsSeparator(static_cast<unsigned char>(*p)))) {
      if (*p == '"') {
        quoted = !quoted;
      } else {
        arg += *p;
      }
      ++p;
    }
    // The program's own path comes first and is not an argument.
    if (first) {
      first = false;
      continue;
    }
    // An argument written as "" carries nothing and is skipped.
    if (!arg.empty()) args.push_back(std::move(arg));
  }
  return args;
}

void SleepMs(std::uint32_t ms) { ::Sleep(ms); }

bool GetEnv(const std::string& name, std::string& out) {
  std::string buf(256, '\0');
  for (;;) {
    ::SetLastError(ERROR_SUCCESS);
    DWORD n = ::GetEnvironmentVariableA(name.c_str(), &buf[0], static_cast<DWORD>(buf.size()));
    if (n == 0) {
      // A variable that is set but empty also gives 0; only the error code
      // tells the two apart.
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
      out.clear();
      return true;
    }
    if (n < buf.size()) {
      out.assign(buf.data(), n);
      return true;
    }
    // Too small: n is the size needed, including the NUL.
    buf.resize(n);
  }
}

}  // namespace platform
