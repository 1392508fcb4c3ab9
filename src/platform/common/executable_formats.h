// The judgement of program formats, apart from how the bytes are read: a PE
// image (the Windows build's programs) and an ELF program or "#!" script (the
// Linux port's). Each platform's IsWholeExecutable opens the file and hands
// it to the judge of its own format; either build can judge both formats.
//
// The judges read only headers and header tables through the source, never
// the whole content, and answer as IsWholeExecutable does (see
// platform/executable.h), with the same reasons in `why`.
#pragma once

#include <string>

#include "platform/common/byte_source.h"

namespace platform {

// A whole PE program image: "MZ" header, e_lfanew inside the file, "PE\0\0",
// machine i386 or AMD64 with its matching optional header, an executable
// image and no DLL, a section table inside the headers, and the headers, the
// data of every section and the symbol and string tables inside the file.
bool IsWholePeProgram(ByteSource& file, std::string* why = nullptr);

// A whole ELF executable or shared object for the machine this code runs on
// (or one its kernel also runs), or a script with a complete "#!" interpreter
// line. A PE image is refused as "a Windows program".
bool IsWholeElfProgramOrScript(ByteSource& file, std::string* why = nullptr);

}  // namespace platform
