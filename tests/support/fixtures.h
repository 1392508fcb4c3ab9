// Where the tests find the tiny Windows executables with version resources
// that tests/fixtures/CMakeLists.txt builds (ver_nl_1_0.exe, ver_nl_1_1.exe,
// ver_us_only.exe, no_version.exe).
#pragma once

#include <cstdint>
#include <string>

namespace testing_support {

// Full path of a PE fixture by its file name, in this platform's path form.
std::string PeFixture(const std::string& fileName);

// The bytes of a whole (if useless) 64-bit ELF program for `machine` (62 is
// x86-64): a Linux program, which the Windows build must refuse.
std::string TinyElf(std::uint16_t machine = 62);

}  // namespace testing_support
