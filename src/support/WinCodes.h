// The Windows numbers that the portable core hands to the platform layer or
// reads back from it: message-box styles, show commands, the platform id of
// the version record and the first private window message (the error codes
// the platform layer hands out are named in platform/error_codes.h). Both platforms take and give
// these same numbers (the Linux port translates its own codes into them), so the core names them
// once here instead of writing them bare.
#pragma once

#include <cstdint>

namespace wincode {

// Message-box styles (MessageBoxA's uType).
constexpr std::uint32_t kMbOk = 0x00000000;
constexpr std::uint32_t kMbIconError = 0x00000010;
constexpr std::uint32_t kMbSetForeground = 0x00010000;
constexpr std::uint32_t kMbTopmost = 0x00040000;

// Show commands (ShowWindow's nCmdShow, ShellExecute's nShowCmd).
constexpr int kSwShowNormal = 1;
constexpr int kSwShow = 5;

// The platform id of the version record (VER_PLATFORM_WIN32_NT).
constexpr std::uint32_t kVerPlatformWin32Nt = 2;

// The first message number an application may use for its own (WM_USER).
constexpr std::uint32_t kWmUser = 0x0400;

}  // namespace wincode
