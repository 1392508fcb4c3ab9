// The judgement of program formats, apart from how the bytes are read: a PE
// image (the Windows build's programs) and an ELF program or "#!" script (the
// Linux port's). Each platform's IsWholeExecutable opens the file and hands
// it to the judge of its own format; either build can judge both formats.
//
// The judges read only headers and header tables through the source, never
// the whole content, and answer as IsWholeExecutable does (see
// platform/executable.h), with the same reasons in `why`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace platform {

// Random access to the bytes of one file.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // The size of the file as it was when it was opened.
  virtual std::uint64_t Size() const = 0;
  // Reads exactly `count` bytes at `offset` into `out`; false when the
  // source is shorter or cannot be read.
  virtual bool ReadAt(std::uint64_t offset, std::size_t count, std::vector<unsigned char>& out) = 0;
};

// The bytes of a file held in memory.
class MemoryByteSource : public ByteSource {
 public:
  explicit MemoryByteSource(std::string bytes) : bytes_(std::move(bytes)) {}
  std::uint64_t Size() const override { return bytes_.size(); }
  bool ReadAt(std::uint64_t offset, std::size_t count, std::vector<unsigned char>& out) override;

 private:
  std::string bytes_;
};

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
