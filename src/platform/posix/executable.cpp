// The Linux port's test for a whole program: an ELF file for this machine, or
// a script with an interpreter line.
//
// Only the ELF header and the program and section header tables are read; the
// offsets and sizes they record say where the file must end.
#include "platform/executable.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/posix/unique_fd.h"

namespace platform {

namespace {

// The machines whose programs this machine's kernel starts: its own and, on
// 64-bit x86, the 32-bit x86 one. Elsewhere only the own one counts.
#if defined(__x86_64__)
constexpr std::uint16_t kMachines[] = {EM_X86_64, EM_386};
#elif defined(__i386__)
constexpr std::uint16_t kMachines[] = {EM_386};
#elif defined(__aarch64__)
constexpr std::uint16_t kMachines[] = {EM_AARCH64};
#elif defined(__arm__)
constexpr std::uint16_t kMachines[] = {EM_ARM};
#else
#define KESTRO_ANY_ELF_MACHINE 1
constexpr std::uint16_t kMachines[] = {EM_NONE};
#endif

// The kernel reads at most this much of an interpreter line.
constexpr std::size_t kMaxInterpreterLine = 256;

bool No(std::string* why, const std::string& text) {
  if (why != nullptr) *why = text;
  return false;
}

std::string Bytes(std::uint64_t n) { return std::to_string(n) + " bytes"; }

// Reads exactly `count` bytes at `offset`; false when the file is shorter or
// cannot be read.
bool ReadAt(int fd, std::uint64_t offset, std::size_t count, std::vector<unsigned char>& out) {
  out.assign(count, 0);
  std::size_t got = 0;
  while (got < count) {
    ssize_t n = ::pread(fd, out.data() + got, count - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

// Little-endian fields: every machine in kMachines is little-endian, and a
// big-endian ELF file is refused before any field is read.
std::uint64_t Field(const std::vector<unsigned char>& b, std::size_t at, std::size_t width) {
  std::uint64_t v = 0;
  for (std::size_t i = width; i > 0; --i) v = (v << 8) | b[at + i - 1];
  return v;
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

bool IsWholeScript(int fd, std::uint64_t size, std::string* why) {
  std::vector<unsigned char> b;
  const std::size_t n =
      static_cast<std::size_t>(std::min<std::uint64_t>(size, kMaxInterpreterLine));
  if (!ReadAt(fd, 0, n, b)) return No(why, "cannot be read");
  const auto end = std::find(b.begin(), b.end(), '\n');
  if (end == b.end()) return No(why, "its #! line does not end");
  auto p = b.begin() + 2;
  while (p != end && (*p == ' ' || *p == '\t')) ++p;
  if (p == end || *p == '\r') return No(why, "its #! line names no interpreter");
  return true;
}

bool IsWholeElf(int fd, std::uint64_t size, std::string* why) {
  std::vector<unsigned char> h;
  if (!ReadAt(fd, 0, std::min<std::uint64_t>(size, EI_NIDENT), h) || size < EI_NIDENT) {
    return No(why, "ends inside its ELF identification (" + Bytes(size) + ")");
  }
  const bool is64 = h[EI_CLASS] == ELFCLASS64;
  if (!is64 && h[EI_CLASS] != ELFCLASS32) return No(why, "an ELF file of unknown class");
  if (h[EI_DATA] != ELFDATA2LSB) return No(why, "a big-endian ELF file");
  if (h[EI_VERSION] != EV_CURRENT) return No(why, "an ELF file of unknown version");
  const std::size_t headerSize = is64 ? sizeof(Elf64_Ehdr) : sizeof(Elf32_Ehdr);
  if (size < headerSize || !ReadAt(fd, 0, headerSize, h)) {
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
  if (type != ET_EXEC && type != ET_DYN) return No(why, "an ELF file that is no program");
  if (!IsOurMachine(machine)) return No(why, "an ELF program for another machine");

  const std::uint64_t phSize = is64 ? sizeof(Elf64_Phdr) : sizeof(Elf32_Phdr);
  const std::uint64_t shSize = is64 ? sizeof(Elf64_Shdr) : sizeof(Elf32_Shdr);
  if (phnum == 0 || phentsize != phSize) return No(why, "an ELF file without program headers");
  if (phoff > size || phnum * phSize > size - phoff) {
    return No(why, "its program header table runs past the end of the file (" + Bytes(size) + ")");
  }
  std::vector<unsigned char> t;
  if (!ReadAt(fd, phoff, static_cast<std::size_t>(phnum * phSize), t)) {
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
    if (!ReadAt(fd, shoff, static_cast<std::size_t>(shSize), t)) return No(why, "cannot be read");
    shnum = is64 ? Field(t, 32, 8) : Field(t, 20, 4);
  }
  if (shnum > (size - shoff) / shSize) {
    return No(why, "its section header table runs past the end of the file (" + Bytes(size) + ")");
  }
  if (!ReadAt(fd, shoff, static_cast<std::size_t>(shnum * shSize), t)) {
    return No(why, "cannot be read");
  }
  for (std::uint64_t i = 0; i < shnum; ++i) {
    const std::size_t s = static_cast<std::size_t>(i * shSize);
    const std::uint64_t kind = Field(t, s + 4, 4);
    const std::uint64_t offset = is64 ? Field(t, s + 24, 8) : Field(t, s + 16, 4);
    const std::uint64_t bytes = is64 ? Field(t, s + 32, 8) : Field(t, s + 20, 4);
    if (kind == SHT_NULL || kind == SHT_NOBITS || bytes == 0) continue;
    if (offset > size || bytes > size - offset) {
      return No(why, "the file ends before the data of section " + std::to_string(i) + " (" +
                         Bytes(size) + " of " + Bytes(offset + bytes) + ")");
    }
  }
  return true;
}

}  // namespace

bool IsWholeExecutable(const std::string& path, std::string* why) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return No(why, std::string("cannot be opened: ") + std::strerror(errno));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return No(why, "no regular file");
  const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);

  std::vector<unsigned char> magic;
  if (size < 2 || !ReadAt(fd.get(), 0, 2, magic)) return No(why, "empty or too short");
  if (magic[0] == '#' && magic[1] == '!') return IsWholeScript(fd.get(), size, why);
  if (size >= 4 && ReadAt(fd.get(), 0, 4, magic) &&
      std::memcmp(magic.data(), ELFMAG, SELFMAG) == 0) {
    return IsWholeElf(fd.get(), size, why);
  }
  if (magic[0] == 'M' && magic[1] == 'Z') return No(why, "a Windows program");
  return No(why, "neither an ELF program nor a #! script");
}

}  // namespace platform
