// The one vocabulary of failures that the platform layer hands out where a
// caller needs to know why something failed (the files, the file lock, the
// registry, the shell). The values are the Windows error codes, so a value
// logged as a number reads as Windows would report it: Windows hands out its
// own, the Linux port translates its errno values (platform/posix/errno_codes.h)
// and its store's failures. A code Windows gives that has no name here still
// travels as a Failure: Failure::Other, which keeps the number
// (FailureFromCode, CodeOf). The portable core compares with these names,
// never with bare numbers.
#pragma once

#include <cstdint>
#include <iosfwd>

namespace platform {

// A closed set of names, each a Windows error code, and Other for any code
// without a name. A Failure converts to its name, so it can be switched on
// and compared with a name (Failure::AccessDenied); two failures are equal
// when their codes are.
class Failure {
 public:
  enum Known : std::uint32_t {
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
    // Any code without a name above, whose number FailureFromCode keeps;
    // 0xFFFFFFFF is the code only of a Failure made from the bare name.
    Other = 0xFFFFFFFF,
  };

  constexpr Failure() : Failure(None) {}
  // Implicit both ways: a name is a failure, and a failure is switched on
  // and compared by its name.
  constexpr Failure(Known known) : known_(known), code_(known) {}
  constexpr operator Known() const { return known_; }

  friend constexpr bool operator==(Failure a, Failure b) { return a.code_ == b.code_; }
  friend constexpr bool operator!=(Failure a, Failure b) { return !(a == b); }
  friend constexpr bool operator==(Failure a, Known b) { return a.known_ == b; }
  friend constexpr bool operator!=(Failure a, Known b) { return !(a == b); }
  friend constexpr bool operator==(Known a, Failure b) { return b == a; }
  friend constexpr bool operator!=(Known a, Failure b) { return !(b == a); }

  friend constexpr std::uint32_t CodeOf(Failure failure);
  friend constexpr Failure FailureFromCode(std::uint32_t code);

 private:
  constexpr Failure(Known known, std::uint32_t code) : known_(known), code_(code) {}

  Known known_;
  std::uint32_t code_;
};

// The Windows number of a failure, for log lines and message texts.
constexpr std::uint32_t CodeOf(Failure failure) { return failure.code_; }

// Any Windows error code as a failure (Win32: GetLastError, LSTATUS): its
// name, or Other with the number.
constexpr Failure FailureFromCode(std::uint32_t code) {
  const auto known = static_cast<Failure::Known>(code);
  // Every name stands here, without a default: -Wswitch names one that is
  // missing.
  switch (known) {
    case Failure::None:
    case Failure::FileNotFound:
    case Failure::PathNotFound:
    case Failure::AccessDenied:
    case Failure::InvalidHandle:
    case Failure::NotEnoughMemory:
    case Failure::NotSameDevice:
    case Failure::GenFailure:
    case Failure::SharingViolation:
    case Failure::LockViolation:
    case Failure::FileExists:
    case Failure::DiskFull:
    case Failure::AlreadyExists:
    case Failure::BadExeFormat:
    case Failure::ChangedElsewhere:
    case Failure::RegistryCorrupt:
    case Failure::RegistryIoFailed:
    case Failure::Cancelled:
      return known;
    case Failure::Other:
      break;
  }
  return Failure(Failure::Other, code);
}

// Writes the Windows number, as log lines and test messages show it.
std::ostream& operator<<(std::ostream& out, Failure failure);

// Hands `failure` to an optional out-parameter.
inline void SetFailure(Failure* out, Failure failure) {
  if (out != nullptr) *out = failure;
}

}  // namespace platform
