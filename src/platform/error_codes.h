// The Windows error codes that the platform layer hands out where a caller
// needs to know why something failed (the files, the file lock, the shell).
// Both implementations give these same numbers: Windows its own, the Linux
// port its errno values translated. The portable core compares with these
// names, never with bare numbers.
#pragma once

#include <cstdint>

namespace platform {

constexpr std::uint32_t kErrFileNotFound = 2;
constexpr std::uint32_t kErrPathNotFound = 3;
constexpr std::uint32_t kErrAccessDenied = 5;
constexpr std::uint32_t kErrInvalidHandle = 6;
constexpr std::uint32_t kErrNotEnoughMemory = 8;
constexpr std::uint32_t kErrNotSameDevice = 17;
constexpr std::uint32_t kErrGenFailure = 31;
constexpr std::uint32_t kErrSharingViolation = 32;
constexpr std::uint32_t kErrFileExists = 80;
constexpr std::uint32_t kErrDiskFull = 112;
constexpr std::uint32_t kErrAlreadyExists = 183;
constexpr std::uint32_t kErrBadExeFormat = 193;

}  // namespace platform
