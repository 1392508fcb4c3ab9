// The Windows build's test for a whole program: the PE image format. The
// format check is shared (platform/common/executable_formats.h); here the
// file is opened and read.
#include "platform/executable.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/common/byte_source.h"
#include "platform/common/executable_formats.h"
#include "platform/files.h"
#include "platform/win32/win_handles.h"

namespace platform {

namespace {

bool No(std::string* why, const std::string& text) {
  if (why != nullptr) *why = text;
  return false;
}

// An open file as a byte source.
class HandleByteSource : public ByteSource {
 public:
  HandleByteSource(HANDLE file, std::uint64_t size) : file_(file), size_(size) {}
  std::uint64_t Size() const override { return size_; }
  bool ReadAt(std::uint64_t offset, std::size_t count, std::vector<unsigned char>& out) override {
    out.assign(count, 0);
    LARGE_INTEGER at = {};
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!::SetFilePointerEx(file_, at, nullptr, FILE_BEGIN)) return false;
    std::size_t got = 0;
    while (got < out.size()) {
      DWORD n = 0;
      const DWORD want = static_cast<DWORD>(std::min<std::size_t>(out.size() - got, 1u << 20));
      if (!::ReadFile(file_, out.data() + got, want, &n, nullptr) || n == 0) return false;
      got += n;
    }
    return true;
  }

 private:
  HANDLE file_;
  std::uint64_t size_;
};

}  // namespace

bool IsWholeExecutable(const std::string& path, std::string* why) {
  return IsWholeProgramOf(ProgramFormat::Windows, path, why);
}

bool IsWholeExecutable(File& file, std::string* why) {
  FileByteSource source(file);
  return IsWholePeProgram(source, why);
}

bool IsWholeProgramOf(ProgramFormat format, const std::string& path, std::string* why) {
  // Others may go on reading, writing or deleting it meanwhile: this is a look.
  win32::FileHandle file(::CreateFileA(path.c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return No(why, "cannot be opened (error " + std::to_string(::GetLastError()) + ")");
  LARGE_INTEGER li = {};
  if (!::GetFileSizeEx(file.get(), &li)) return No(why, "its size cannot be read");
  HandleByteSource source(file.get(), static_cast<std::uint64_t>(li.QuadPart));
  return format == ProgramFormat::Windows ? IsWholePeProgram(source, why)
                                          : IsWholeElfProgramOrScript(source, why);
}

}  // namespace platform
