// TinyElf stands alone, needing neither the test framework nor the build's
// folders, so the benchmarks (which have a main of their own) compile this
// file without the rest of the test support.
#include <cstdint>
#include <string>

#include "support/fixtures.h"

namespace testing_support {

std::string TinyElf(std::uint16_t machine) {
  // A 64-bit ELF header followed by one program header that loads the file.
  std::string b(64 + 56, '\0');
  auto put = [&b](std::size_t at, std::uint64_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) b[at + i] = static_cast<char>(value >> (8 * i));
  };
  b[0] = 0x7f;
  b[1] = 'E';
  b[2] = 'L';
  b[3] = 'F';
  b[4] = 2;               // 64-bit
  b[5] = 1;               // little-endian
  b[6] = 1;               // version
  put(16, 2, 2);          // e_type: executable
  put(18, machine, 2);    // e_machine
  put(20, 1, 4);          // e_version
  put(24, 0x400078, 8);   // e_entry
  put(32, 64, 8);         // e_phoff
  put(52, 64, 2);         // e_ehsize
  put(54, 56, 2);         // e_phentsize
  put(56, 1, 2);          // e_phnum
  put(64, 1, 4);          // p_type: load
  put(68, 5, 4);          // p_flags: read, execute
  put(80, 0x400000, 8);   // p_vaddr
  put(88, 0x400000, 8);   // p_paddr
  put(96, b.size(), 8);   // p_filesz
  put(104, b.size(), 8);  // p_memsz
  put(112, 0x1000, 8);    // p_align
  return b;
}

}  // namespace testing_support
