// The one vocabulary of failures that the platform layer hands out where a
// caller needs to know why something failed (the files, the file lock, the
// registry, the shell). The values are the Windows error codes, so a value
// logged as a number reads as Windows would report it: Windows hands out its
// own, the Linux port translates its errno values (platform/posix/errno_codes.h)
// and its store's failures. A code Windows gives that has no name here still
// travels as a Failure (FailureFromCode). The portable core compares with
// these names, never with bare numbers.
#pragma once

#include <cstdint>
#include <iosfwd>

namespace platform {

enum class Failure : std::uint32_t {
  None = 0,
  FileNotFound = 2,  // also: no such registry key or value
  PathNotFound = 3,
  AccessDenied = 5,
  InvalidHandle = 6,
  NotEnoughMemory = 8,
  NotSameDevice = 17,
  GenFailure = 31,
  SharingViolation = 32,
  LockViolation = 33,
  FileExists = 80,
  DiskFull = 112,
  AlreadyExists = 183,
  BadExeFormat = 193,
  // A file held open for an install was changed, or its name taken, by
  // another opener (ERROR_FILE_INVALID).
  ChangedElsewhere = 1006,
  RegistryCorrupt = 1009,   // the store is not a registry (ERROR_BADDB)
  RegistryIoFailed = 1016,  // the store could not be read or written
  Cancelled = 1223,
};

// The Windows number of a failure, for log lines and message texts.
constexpr std::uint32_t CodeOf(Failure failure) { return static_cast<std::uint32_t>(failure); }
// Any Windows error code as a failure (Win32: GetLastError, LSTATUS).
constexpr Failure FailureFromCode(std::uint32_t code) { return static_cast<Failure>(code); }

// Writes the Windows number, as log lines and test messages show it.
std::ostream& operator<<(std::ostream& out, Failure failure);

// Hands `failure` to an optional out-parameter.
inline void SetFailure(Failure* out, Failure failure) {
  if (out != nullptr) *out = failure;
}

}  // namespace platform
