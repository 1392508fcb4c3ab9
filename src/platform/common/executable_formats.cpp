// The PE and ELF format checks: only the headers and the header tables are
// read; the sizes and offsets they record say where the file must end.
#include "platform/common/executable_formats.h"

#include <algorithm>
#include <cstring>

#include "platform/common/little_endian.h"

namespace platform {

namespace {

bool No(std::string* why, const std::string& text) {
  if (why != nullptr) *why = text;
  return false;
}

std::string Bytes(std::uint64_t n) { return std::to_string(n) + " bytes"; }

// Headers and header tables lie in a program's first 64 MiB; a size or an
// offset read from a header is held against this before any bytes are asked
// for, so a crafted count never becomes a huge read, nor (in the 32-bit
// build) a count cut short by its conversion to size_t.
constexpr std::uint64_t kMaxHeaderBytes = std::uint64_t{64} << 20;

// ---- PE ----

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

// ---- ELF ----
// The values of <elf.h>, which the Windows build does not have.

constexpr std::size_t kElfIdentSize = 16;  // EI_NIDENT
constexpr std::size_t kElfClassAt = 4;     // EI_CLASS
constexpr std::size_t kElfDataAt = 5;      // EI_DATA
constexpr std::size_t kElfVersionAt = 6;   // EI_VERSION
constexpr unsigned char kElfClass32 = 1;
constexpr unsigned char kElfClass64 = 2;
constexpr unsigned char kElfLittleEndian = 1;  // ELFDATA2LSB
constexpr unsigned char kElfCurrentVersion = 1;
constexpr std::uint64_t kElfExecutable = 2;    // ET_EXEC
constexpr std::uint64_t kElfSharedObject = 3;  // ET_DYN
constexpr std::uint64_t kSectionNull = 0;      // SHT_NULL
constexpr std::uint64_t kSectionNoBits = 8;    // SHT_NOBITS
constexpr std::size_t kElf32HeaderSize = 52, kElf64HeaderSize = 64;
constexpr std::uint64_t kElf32ProgramHeaderSize = 32, kElf64ProgramHeaderSize = 56;
constexpr std::uint64_t kElf32SectionHeaderSize = 40, kElf64SectionHeaderSize = 64;
constexpr std::uint16_t kElfMachineI386 = 3, kElfMachineArm = 40, kElfMachineX8664 = 62,
                        kElfMachineAarch64 = 183;

// The machines whose programs this machine's kernel starts: its own and, on
// 64-bit x86, the 32-bit x86 one. Elsewhere only the own one counts.
#if defined(__x86_64__)
constexpr std::uint16_t kMachines[] = {kElfMachineX8664, kElfMachineI386};
#elif defined(__i386__)
constexpr std::uint16_t kMachines[] = {kElfMachineI386};
#elif defined(__aarch64__)
constexpr std::uint16_t kMachines[] = {kElfMachineAarch64};
#elif defined(__arm__)
constexpr std::uint16_t kMachines[] = {kElfMachineArm};
#else
#define KESTRO_ANY_ELF_MACHINE 1
#endif

// The kernel reads at most this much of an interpreter line.
constexpr std::size_t kMaxInterpreterLine = 256;

// Little-endian fields: every machine in kMachines is little-endian, and a
// big-endian ELF file is refused before any field is read.
std::uint64_t Field(const std::vector<unsigned char>& b, std::size_t at, std::size_t width) {
  return LittleEndian(b, at, width);
}

bool IsOurMachine(std::uint16_t machine) {
#ifdef KESTRO_ANY_ELF_MACHINE
  (void)machine;
  return true;
#else
  for (std::uint16_t m : kMachines) {
    if (m == machine) return true;
  }
  return false;
#endif
}

bool IsWholeScript(ByteSource& file, std::uint64_t size, std::string* why) {
  std::vector<unsigned char> b;
  const std::size_t n =
      static_cast<std::size_t>(std::min<std::uint64_t>(size, kMaxInterpreterLine));
  if (!file.ReadAt(0, n, b)) return No(why, "cannot be read");
  const auto end = std::find(b.begin(), b.end(), '\n');
  if (end == b.end()) return No(why, "its #! line does not end");
  auto p = b.begin() + 2;
  while (p != end && (*p == ' ' || *p == '\t')) ++p;
  if (p == end || *p == '\r') return No(why, "its #! line names no interpreter");
  return true;
}

bool IsWholeElf(ByteSource& file, std::uint64_t size, std::string* why) {
  std::vector<unsigned char> h;
  if (!file.ReadAt(0, static_cast<std::size_t>(std::min<std::uint64_t>(size, kElfIdentSize)), h) ||
      size < kElfIdentSize) {
    return No(why, "ends inside its ELF identification (" + Bytes(size) + ")");
  }
  const bool is64 = h[kElfClassAt] == kElfClass64;
  if (!is64 && h[kElfClassAt] != kElfClass32) return No(why, "an ELF file of unknown class");
  if (h[kElfDataAt] != kElfLittleEndian) return No(why, "a big-endian ELF file");
  if (h[kElfVersionAt] != kElfCurrentVersion) return No(why, "an ELF file of unknown version");
  const std::size_t headerSize = is64 ? kElf64HeaderSize : kElf32HeaderSize;
  if (size < headerSize || !file.ReadAt(0, headerSize, h)) {
    return No(why, "ends inside its ELF header (" + Bytes(size) + ")");
  }
  // The fields after e_version are as wide as the class says.
  const std::size_t w = is64 ? 8 : 4;
  const std::uint64_t type = Field(h, 16, 2);
  const std::uint16_t machine = static_cast<std::uint16_t>(Field(h, 18, 2));
  const std::uint64_t phoff = Field(h, 24 + w, w);
  const std::uint64_t shoff = Field(h, 24 + 2 * w, w);
  const std::size_t rest = 24 + 3 * w + 4;  // past e_flags
  const std::uint64_t phentsize = Field(h, rest + 2, 2);
  const std::uint64_t phnum = Field(h, rest + 4, 2);
  const std::uint64_t shentsize = Field(h, rest + 6, 2);
  std::uint64_t shnum = Field(h, rest + 8, 2);
  if (type != kElfExecutable && type != kElfSharedObject) {
    return No(why, "an ELF file that is no program");
  }
  if (!IsOurMachine(machine)) return No(why, "an ELF program for another machine");

  const std::uint64_t phSize = is64 ? kElf64ProgramHeaderSize : kElf32ProgramHeaderSize;
  const std::uint64_t shSize = is64 ? kElf64SectionHeaderSize : kElf32SectionHeaderSize;
  if (phnum == 0 || phentsize != phSize) return No(why, "an ELF file without program headers");
  if (phoff > size || phnum * phSize > size - phoff) {
    return No(why, "its program header table runs past the end of the file (" + Bytes(size) + ")");
  }
  if (phoff > kMaxHeaderBytes) return No(why, "its program headers lie past the first 64 MiB");
  std::vector<unsigned char> t;
  if (!file.ReadAt(phoff, static_cast<std::size_t>(phnum * phSize), t)) {
    return No(why, "cannot be read");
  }
  for (std::uint64_t i = 0; i < phnum; ++i) {
    const std::size_t p = static_cast<std::size_t>(i * phSize);
    // p_offset and p_filesz: the 64-bit entry puts p_flags before them.
    const std::uint64_t offset = is64 ? Field(t, p + 8, 8) : Field(t, p + 4, 4);
    const std::uint64_t filesz = is64 ? Field(t, p + 32, 8) : Field(t, p + 16, 4);
    if (filesz > 0 && (offset > size || filesz > size - offset)) {
      return No(why, "the file ends before the data of segment " + std::to_string(i + 1) + " (" +
                         Bytes(size) + " of " + Bytes(offset + filesz) + ")");
    }
  }

  if (shoff == 0) return true;  // no section header table: nothing more to check
  if (shentsize != shSize) return No(why, "its section headers have an unknown size");
  if (shoff > size || shSize > size - shoff) {
    return No(why, "its section header table lies past the end of the file (" + Bytes(size) + ")");
  }
  if (shnum == 0) {
    // Many sections: the real count is in the first entry's sh_size.
    if (!file.ReadAt(shoff, static_cast<std::size_t>(shSize), t)) {
      return No(why, "cannot be read");
    }
    shnum = is64 ? Field(t, 32, 8) : Field(t, 20, 4);
  }
  if (shnum > (size - shoff) / shSize) {
    return No(why, "its section header table runs past the end of the file (" + Bytes(size) + ")");
  }
  if (shnum > kMaxHeaderBytes / shSize) {
    return No(why, "its section header table (" + std::to_string(shnum) +
                       " sections) is larger than 64 MiB");
  }
  if (!file.ReadAt(shoff, static_cast<std::size_t>(shnum * shSize), t)) {
    return No(why, "cannot be read");
  }
  for (std::uint64_t i = 0; i < shnum; ++i) {
    const std::size_t s = static_cast<std::size_t>(i * shSize);
    const std::uint64_t kind = Field(t, s + 4, 4);
    const std::uint64_t offset = is64 ? Field(t, s + 24, 8) : Field(t, s + 16, 4);
    const std::uint64_t bytes = is64 ? Field(t, s + 32, 8) : Field(t, s + 20, 4);
    if (kind == kSectionNull || kind == kSectionNoBits || bytes == 0) continue;
    if (offset > size || bytes > size - offset) {
      return No(why, "the file ends before the data of section " + std::to_string(i) + " (" +
                         Bytes(size) + " of " + Bytes(offset + bytes) + ")");
    }
  }
  return true;
}

}  // namespace

bool IsWholePeProgram(ByteSource& file, std::string* why) {
  const std::uint64_t size = file.Size();
  std::vector<unsigned char> b;
  if (size < 2) return No(why, "no MZ header (" + Bytes(size) + ")");
  if (!file.ReadAt(0, static_cast<std::size_t>(std::min<std::uint64_t>(size, kDosHeaderSize)), b)) {
    return No(why, "cannot be read");
  }
  if (b[0] != 'M' || b[1] != 'Z') return No(why, "no MZ header");
  if (size < kDosHeaderSize) return No(why, "ends inside its MZ header (" + Bytes(size) + ")");

  const std::uint64_t nt = LittleEndian32(b, 0x3c);
  const std::uint64_t optional = nt + 4 + kFileHeaderSize;
  if (optional > size) return No(why, "e_lfanew points outside the file");
  if (optional > kMaxHeaderBytes) return No(why, "e_lfanew points past the first 64 MiB");
  if (!file.ReadAt(0, static_cast<std::size_t>(optional), b)) return No(why, "cannot be read");
  if (b[nt] != 'P' || b[nt + 1] != 'E' || b[nt + 2] != 0 || b[nt + 3] != 0) {
    return No(why, "no PE signature");
  }
  const std::uint16_t machine = LittleEndian16(b, nt + 4);
  const std::uint32_t sections = LittleEndian16(b, nt + 6);
  const std::uint64_t symbols = LittleEndian32(b, nt + 12);
  const std::uint64_t symbolCount = LittleEndian32(b, nt + 16);
  const std::uint32_t optionalSize = LittleEndian16(b, nt + 20);
  const std::uint16_t characteristics = LittleEndian16(b, nt + 22);
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
  if (tableEnd > kMaxHeaderBytes) {
    return No(why, "its section table ends past the first 64 MiB");
  }
  if (!file.ReadAt(0, static_cast<std::size_t>(tableEnd), b)) return No(why, "cannot be read");
  const std::uint16_t magic = LittleEndian16(b, static_cast<std::size_t>(optional));
  if ((machine == kMachineI386 && magic != kMagicPe32) ||
      (machine == kMachineAmd64 && magic != kMagicPe32Plus)) {
    return No(why, "its optional header does not fit its machine");
  }
  const std::uint64_t headers =
      LittleEndian32(b, static_cast<std::size_t>(optional + kSizeOfHeadersOffset));
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
    const std::uint64_t address = LittleEndian32(b, s + 12);
    const std::uint64_t rawSize = LittleEndian32(b, s + 16);
    const std::uint64_t rawStart = LittleEndian32(b, s + 20);
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
    std::vector<unsigned char> n;
    if (!file.ReadAt(strings, 4, n)) return No(why, "cannot be read");
    const std::uint64_t stringsEnd = strings + LittleEndian32(n, 0);
    if (stringsEnd > size) {
      return No(why, "the file ends before its string table ends (" + Bytes(size) + " of " +
                         Bytes(stringsEnd) + ")");
    }
  }
  return true;
}

bool IsWholeElfProgramOrScript(ByteSource& file, std::string* why) {
  const std::uint64_t size = file.Size();
  static const unsigned char kElfMagic[] = {0x7f, 'E', 'L', 'F'};
  std::vector<unsigned char> magic;
  if (size < 2 || !file.ReadAt(0, 2, magic)) return No(why, "empty or too short");
  if (magic[0] == '#' && magic[1] == '!') return IsWholeScript(file, size, why);
  if (size >= 4 && file.ReadAt(0, 4, magic) &&
      std::memcmp(magic.data(), kElfMagic, sizeof kElfMagic) == 0) {
    return IsWholeElf(file, size, why);
  }
  if (magic[0] == 'M' && magic[1] == 'Z') return No(why, "a Windows program");
  return No(why, "neither an ELF program nor a #! script");
}

}  // namespace platform
