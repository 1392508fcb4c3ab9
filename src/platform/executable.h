// Whether a file is a whole program that this platform can start.
//
// Contract: any thread; blocks only to read the file's headers and header
// tables (never its whole content); never processes GUI messages and never
// throws. The answer is a plain yes or no, with a short English reason for the
// log on a no.
//
// Windows build: a PE image ("MZ" header, e_lfanew inside the file, "PE\0\0",
// machine i386 or AMD64 with its matching optional header, an executable image
// and no DLL), whose section table lies inside its headers and whose headers
// and section data all lie inside the file.
// Linux port: an ELF executable or shared object for this machine (or one this
// machine's kernel also runs) whose program and section header tables, and
// every segment and section they describe, lie inside the file; or a script
// that starts with a complete "#!" interpreter line.
//
// A file that ends early is refused wherever the formats record where their
// parts end; a cut in data they do not describe (a script's body, padding after
// the last section) cannot be seen here.
#pragma once

#include <string>

namespace platform {

class File;

// True when `path` is a whole executable for this platform. False for anything
// else, also when the file cannot be opened or read; `why` (optional) then
// says what was wrong.
bool IsWholeExecutable(const std::string& path, std::string* why = nullptr);
// The same judgement of a file open for reading, read through its handle.
bool IsWholeExecutable(File& file, std::string* why = nullptr);

// The program formats of the two builds, for judging a program meant for the
// other one (the maker's tool on Linux judges a Windows release).
enum class ProgramFormat {
  Windows,    // what the Windows build's IsWholeExecutable takes
  LinuxPort,  // what the Linux port's IsWholeExecutable takes (its machine)
};

// The same judgement as IsWholeExecutable, for the build of `format`,
// whichever build runs this.
bool IsWholeProgramOf(ProgramFormat format, const std::string& path, std::string* why = nullptr);

}  // namespace platform
