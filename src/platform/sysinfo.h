// Facts about the running process and the machine.
//
// Contract: every function may be called from any thread, never blocks for
// long, never processes GUI messages and never throws. Failures are return
// values (an empty text, false, a zero-filled record).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// The folder separator this platform writes when it builds a path.
extern const char kPathDelim;
// Every character that ends the folder part of a path ("\\:" on Windows, "/"
// on the Linux port).
extern const char* const kPathDelims;

// Full path of the running executable exactly as the OS reports it (on
// Windows it may carry a "\\?\" prefix).
std::string ModuleFileName();

// Load address of the running executable (its module handle on Windows).
std::uintptr_t ModuleHandle();

// The NetBIOS-style computer name, at most 15 bytes; false when unavailable.
bool ComputerName(std::string& out);

// Id of the calling thread.
std::uint32_t CurrentThreadId();

// Milliseconds since an arbitrary start, wrapping at 2^32.
std::uint32_t TickCount();

// The OS version record the elevation test reads. All fields stay 0 when the
// OS cannot be asked.
struct OsVersion {
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::uint32_t build = 0;
  std::uint32_t platformId = 0;  // kPlatformIdNt for an NT-family Windows
};
// The platform id of an NT-family Windows (VER_PLATFORM_WIN32_NT).
constexpr std::uint32_t kPlatformIdNt = 2;
OsVersion GetOsVersion();

// The command-line arguments after the program's own path, split by the C
// runtime's rules (quotes removed, an argument written as "" skipped).
std::vector<std::string> CommandLineArgs();

// Suspends the calling thread.
void SleepMs(std::uint32_t ms);

// Reads an environment variable; false when it is not set.
bool GetEnv(const std::string& name, std::string& out);
// Sets or removes an environment variable of this process (environment.cpp).
void SetEnv(const std::string& name, const std::string& value);
void UnsetEnv(const std::string& name);

}  // namespace platform
