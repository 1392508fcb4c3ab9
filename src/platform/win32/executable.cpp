// The Windows build's test for a whole program: the PE image format.
//
// Only the headers and the section table are read; the sizes and offsets they
// record say where the image must end.
#include "platform/executable.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/win32/win_handles.h"

namespace platform {

namespace {

constexpr std::uint16_t kMachineI386 = 0x014c;
constexpr std::uint16_t kMachineAmd64 = 0x8664;
constexpr std::uint16_t kMagicPe32 = 0x10b;
constexpr std::uint16_t kMagicPe32Plus = 0x20b;
constexpr std::uint16_t kExecutableImage = 0x0002;  // IMAGE_FILE_EXECUTABLE_IMAGE
constexpr std::uint16_t kDll = 0x2000;              // IMAGE_FILE_DLL
constexpr std::uint32_t kDosHeaderSize = 64;
constexpr std::uint32_t kFileHeaderSize = 20;
constexpr std::uint32_t kSectionHeaderSize = 40;
constexpr std::uint32_t kSymbolSize = 18;
// SizeOfHeaders sits at the same place in the optional headers of PE32 and
// PE32+; an optional header shorter than that cannot describe an image.
constexpr std::uint32_t kSizeOfHeadersOffset = 60;

std::uint16_t U16(const std::vector<unsigned char>& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

std::uint32_t U32(const std::vector<unsigned char>& b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
         (static_cast<std::uint32_t>(b[at + 2]) << 16) |
         (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

bool No(std::string* why, const std::string& text) {
  if (why != nullptr) *why = text;
  return false;
}

// Reads the first `count` bytes of the file into `out`; false when the file
// cannot be read that far.
bool ReadHead(HANDLE file, std::uint64_t count, std::vector<unsigned char>& out) {
  out.assign(static_cast<std::size_t>(count), 0);
  LARGE_INTEGER zero = {};
  if (!::SetFilePointerEx(file, zero, nullptr, FILE_BEGIN)) return false;
  std::size_t got = 0;
  while (got < out.size()) {
    DWORD n = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(out.size() - got, 1u << 20));
    if (!::ReadFile(file, out.data() + got, want, &n, nullptr) || n == 0) return false;
    got += n;
  }
  return true;
}

std::string Bytes(std::uint64_t n) { return std::to_string(n) + " bytes"; }

}  // namespace

bool IsWholeExecutable(const std::string& path, std::string* why) {
  // Others may go on reading, writing or deleting it meanwhile: this is a look.
  win32::FileHandle file(::CreateFileA(path.c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return No(why, "cannot be opened (error " + std::to_string(::GetLastError()) + ")");
  LARGE_INTEGER li = {};
  if (!::GetFileSizeEx(file.get(), &li)) return No(why, "its size cannot be read");
  const std::uint64_t size = static_cast<std::uint64_t>(li.QuadPart);

  std::vector<unsigned char> b;
  if (size < 2) return No(why, "no MZ header (" + Bytes(size) + ")");
  if (!ReadHead(file.get(), std::min<std::uint64_t>(size, kDosHeaderSize), b)) {
    return No(why, "cannot be read");
  }
  if (b[0] != 'M' || b[1] != 'Z') return No(why, "no MZ header");
  if (size < kDosHeaderSize) return No(why, "ends inside its MZ header (" + Bytes(size) + ")");

  const std::uint64_t nt = U32(b, 0x3c);
  const std::uint64_t optional = nt + 4 + kFileHeaderSize;
  if (optional > size) return No(why, "e_lfanew points outside the file");
  if (!ReadHead(file.get(), optional, b)) return No(why, "cannot be read");
  if (b[nt] != 'P' || b[nt + 1] != 'E' || b[nt + 2] != 0 || b[nt + 3] != 0) {
    return No(why, "no PE signature");
  }
  const std::uint16_t machine = U16(b, nt + 4);
  const std::uint32_t sections = U16(b, nt + 6);
  const std::uint64_t symbols = U32(b, nt + 12);
  const std::uint64_t symbolCount = U32(b, nt + 16);
  const std::uint32_t optionalSize = U16(b, nt + 20);
  const std::uint16_t characteristics = U16(b, nt + 22);
  if (machine != kMachineI386 && machine != kMachineAmd64) {
    return No(why, "a PE image for another machine");
  }
  if ((characteristics & kExecutableImage) == 0 || (characteristics & kDll) != 0) {
    return No(why, "a PE file that is no program");
  }
  if (sections == 0) return No(why, "a PE image without sections");
  if (optionalSize < kSizeOfHeadersOffset + 4) return No(why, "its optional header is too short");

  const std::uint64_t table = optional + optionalSize;
  const std::uint64_t tableEnd = table + std::uint64_t{sections} * kSectionHeaderSize;
  if (tableEnd > size) {
    return No(why, "its section table (" + std::to_string(sections) +
                       " sections) runs past the end of the file");
  }
  if (!ReadHead(file.get(), tableEnd, b)) return No(why, "cannot be read");
  const std::uint16_t magic = U16(b, optional);
  if ((machine == kMachineI386 && magic != kMagicPe32) ||
      (machine == kMachineAmd64 && magic != kMagicPe32Plus)) {
    return No(why, "its optional header does not fit its machine");
  }
  const std::uint64_t headers = U32(b, optional + kSizeOfHeadersOffset);
  if (tableEnd > headers) {
    return No(
        why, "its section table (" + std::to_string(sections) + " sections) runs past its headers");
  }
  if (headers > size) {
    return No(why,
              "the file ends inside its headers (" + Bytes(size) + " of " + Bytes(headers) + ")");
  }

  std::uint64_t lastAddress = 0;
  for (std::uint32_t i = 0; i < sections; ++i) {
    const std::size_t s = static_cast<std::size_t>(table + std::uint64_t{i} * kSectionHeaderSize);
    const std::uint64_t address = U32(b, s + 12);
    const std::uint64_t rawSize = U32(b, s + 16);
    const std::uint64_t rawStart = U32(b, s + 20);
    // The loader maps the sections in ascending order; an entry that breaks
    // it (a zeroed one, say, when the header claims more sections than it
    // has) makes no loadable image.
    if (address == 0 || address <= lastAddress) {
      return No(why, "section " + std::to_string(i + 1) + " of " + std::to_string(sections) +
                         " is no valid section");
    }
    lastAddress = address;
    if (rawSize > 0 && rawStart + rawSize > size) {
      return No(why, "the file ends before the data of section " + std::to_string(i + 1) + " (" +
                         Bytes(size) + " of " + Bytes(rawStart + rawSize) + ")");
    }
  }

  // A program linked with its symbols carries the COFF symbol table and the
  // string table behind it after the sections; the header says where, and
  // the string table opens with its own size.
  if (symbols != 0) {
    const std::uint64_t strings = symbols + symbolCount * kSymbolSize;
    if (strings + 4 > size) {
      return No(why, "the file ends before its symbol table ends (" + Bytes(size) + " of " +
                         Bytes(strings + 4) + ")");
    }
    std::vector<unsigned char> n(4);
    LARGE_INTEGER at = {};
    at.QuadPart = static_cast<LONGLONG>(strings);
    DWORD got = 0;
    if (!::SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN) ||
        !::ReadFile(file.get(), n.data(), 4, &got, nullptr) || got != 4) {
      return No(why, "cannot be read");
    }
    const std::uint64_t stringsEnd = strings + U32(n, 0);
    if (stringsEnd > size) {
      return No(why, "the file ends before its string table ends (" + Bytes(size) + " of " +
                         Bytes(stringsEnd) + ")");
    }
  }
  return true;
}

}  // namespace platform
