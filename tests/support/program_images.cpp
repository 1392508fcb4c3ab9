#include "support/program_images.h"

namespace testing_support {

void PutLittleEndian(std::string& b, std::size_t at, std::uint64_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) b[at + i] = static_cast<char>(value >> (8 * i));
}

std::string TinyPe(const PeImage& image) {
  constexpr std::size_t kNt = 64;
  constexpr std::size_t kOptional = kNt + 4 + 20;
  constexpr std::size_t kHeaders = 1024;
  constexpr std::size_t kSectionData = 512;
  const bool plus = image.machine == 0x8664;
  const std::uint16_t optionalSize = image.optionalHeaderSize != 0 ? image.optionalHeaderSize
                                     : plus                        ? 240
                                                                   : 224;
  const std::size_t table = kOptional + optionalSize;
  const std::size_t data = kHeaders + std::size_t{image.sections} * kSectionData;
  std::string b(data, '\0');
  auto put = [&b](std::size_t at, std::uint64_t value, std::size_t width) {
    PutLittleEndian(b, at, value, width);
  };
  b[0] = 'M';
  b[1] = 'Z';
  put(0x3c, kNt, 4);  // e_lfanew
  b[kNt] = 'P';
  b[kNt + 1] = 'E';
  put(kNt + 4, image.machine, 2);
  put(kNt + 6, image.claimedSections != 0 ? image.claimedSections : image.sections, 2);
  put(kNt + 20, optionalSize, 2);
  put(kNt + 22, image.characteristics, 2);
  put(kOptional, image.magic != 0 ? image.magic : plus ? 0x20b : 0x10b, 2);
  if (optionalSize >= 64) {
    put(kOptional + 60, image.sizeOfHeaders != 0 ? image.sizeOfHeaders : kHeaders, 4);
  }
  for (std::size_t i = 0; i < image.sections && table + 40 * (i + 1) <= kHeaders; ++i) {
    const std::size_t s = table + 40 * i;
    b.replace(s, 5, i == 0 ? ".text" : ".data");
    put(s + 8, kSectionData, 4);                  // VirtualSize
    put(s + 12, 0x1000 * (i + 1), 4);             // VirtualAddress
    put(s + 16, kSectionData, 4);                 // SizeOfRawData
    put(s + 20, kHeaders + kSectionData * i, 4);  // PointerToRawData
  }
  if (image.symbols != 0) {
    put(kNt + 12, data, 4);  // PointerToSymbolTable
    put(kNt + 16, image.symbols, 4);
    b.append(std::size_t{image.symbols} * 18, '\0');
    std::string strings(8, '\0');
    PutLittleEndian(strings, 0, image.stringTableSize, 4);
    strings.replace(4, 3, "abc");
    b += strings;
  }
  return b;
}

std::string ElfWithSections(bool is64, std::uint16_t machine) {
  const std::size_t w = is64 ? 8 : 4;
  const std::size_t header = is64 ? 64 : 52;
  const std::size_t ph = is64 ? 56 : 32;
  const std::size_t sh = is64 ? 64 : 40;
  const std::size_t code = header + ph;
  const std::size_t codeSize = 16;
  const std::size_t shoff = code + codeSize;
  std::string b(shoff + 3 * sh, '\0');
  auto put = [&b](std::size_t at, std::uint64_t value, std::size_t width) {
    PutLittleEndian(b, at, value, width);
  };
  b[0] = 0x7f;
  b[1] = 'E';
  b[2] = 'L';
  b[3] = 'F';
  b[4] = is64 ? 2 : 1;
  b[5] = 1;       // little-endian
  b[6] = 1;       // version
  put(16, 2, 2);  // e_type: executable
  put(18, machine, 2);
  put(20, 1, 4);                            // e_version
  put(24, 0x400000 + code, w);              // e_entry
  put(24 + w, header, w);                   // e_phoff
  put(24 + 2 * w, shoff, w);                // e_shoff
  const std::size_t rest = 24 + 3 * w + 4;  // past e_flags
  put(rest, header, 2);                     // e_ehsize
  put(rest + 2, ph, 2);                     // e_phentsize
  put(rest + 4, 1, 2);                      // e_phnum
  put(rest + 6, sh, 2);                     // e_shentsize
  put(rest + 8, 3, 2);                      // e_shnum
  // One loadable segment over the whole file but the section headers.
  put(header, 1, 4);  // p_type: load
  if (is64) {
    put(header + 4, 5, 4);          // p_flags
    put(header + 8, 0, 8);          // p_offset
    put(header + 16, 0x400000, 8);  // p_vaddr
    put(header + 32, shoff, 8);     // p_filesz
    put(header + 40, shoff, 8);     // p_memsz
  } else {
    put(header + 4, 0, 4);         // p_offset
    put(header + 8, 0x400000, 4);  // p_vaddr
    put(header + 16, shoff, 4);    // p_filesz
    put(header + 20, shoff, 4);    // p_memsz
    put(header + 24, 5, 4);        // p_flags
  }
  // Section 1: the code (SHT_PROGBITS); section 2: SHT_NOBITS, far past the end.
  const std::size_t text = shoff + sh;
  const std::size_t bss = shoff + 2 * sh;
  put(text + 4, 1, 4);
  put(bss + 4, 8, 4);
  if (is64) {
    put(text + 24, code, 8);
    put(text + 32, codeSize, 8);
    put(bss + 24, 0x100000, 8);
    put(bss + 32, 0x1000, 8);
  } else {
    put(text + 16, code, 4);
    put(text + 20, codeSize, 4);
    put(bss + 16, 0x100000, 4);
    put(bss + 20, 0x1000, 4);
  }
  return b;
}

}  // namespace testing_support
