// The Linux port's test for a whole program: an ELF file for this machine, or
// a script with an interpreter line. The format checks are shared
// (platform/common/executable_formats.h); here the file is opened.
#include "platform/executable.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/common/byte_source.h"
#include "platform/common/executable_formats.h"
#include "platform/files.h"
#include "platform/posix/read_at.h"
#include "platform/posix/unique_fd.h"

namespace platform {

namespace {

bool No(std::string* why, const std::string& text) {
  if (why != nullptr) *why = text;
  return false;
}

}  // namespace

bool IsWholeExecutable(const std::string& path, std::string* why) {
  return IsWholeProgramOf(ProgramFormat::LinuxPort, path, why);
}

bool IsWholeExecutable(File& file, std::string* why) {
  FileByteSource source(file);
  return IsWholeElfProgramOrScript(source, why);
}

bool IsWholeProgramOf(ProgramFormat format, const std::string& path, std::string* why) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return No(why, std::string("cannot be opened: ") + std::strerror(errno));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return No(why, "no regular file");
  FdByteSource file(fd.get(), static_cast<std::uint64_t>(st.st_size));
  return format == ProgramFormat::Windows ? IsWholePeProgram(file, why)
                                          : IsWholeElfProgramOrScript(file, why);
}

}  // namespace platform
