// Small program images built in memory for the format checks: PE images for
// the Windows build and ELF programs with section headers for the Linux port.
// Whole as built; the fields below change one part at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace testing_support {

struct PeImage {
  std::uint16_t machine = 0x014c;          // i386; 0x8664 for AMD64
  std::uint16_t magic = 0;                 // 0: the one that fits the machine
  std::uint16_t characteristics = 0x0102;  // an executable image for 32-bit
  std::uint16_t sections = 2;              // each with 512 bytes of data
  std::uint16_t claimedSections = 0;       // 0: as many as there are
  std::uint16_t optionalHeaderSize = 0;    // 0: the one that fits the magic
  std::uint32_t sizeOfHeaders = 0;         // 0: the headers as laid out
  std::uint32_t symbols = 0;               // COFF symbols after the sections
  std::uint32_t stringTableSize = 8;       // as the string table says of itself
};

// The bytes of the PE image `image` describes. Its headers fill the first
// 1024 bytes; section i's data follows at 1024 + 512 * i.
std::string TinyPe(const PeImage& image = {});

// Where the field of the PE file header that counts the sections lies.
constexpr std::size_t kTinyPeSectionCountAt = 64 + 6;

// A whole ELF program of class 32 or 64 for `machine` with a section header
// table at its end: a null section, a section over the program's code and a
// section that takes no room in the file.
std::string ElfWithSections(bool is64, std::uint16_t machine);

// Writes `value` little-endian over `width` bytes of `b` at `at`.
void PutLittleEndian(std::string& b, std::size_t at, std::uint64_t value, std::size_t width);

}  // namespace testing_support
