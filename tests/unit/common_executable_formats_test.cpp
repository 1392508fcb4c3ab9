// The program format checks over images built in memory: PE images and ELF
// programs whole, cut, padded and with one part broken at a time, and "#!"
// scripts. Both builds judge both formats, so this runs in both.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/common/executable_formats.h"
#include "support/fixtures.h"
#include "support/program_images.h"

using namespace testing_support;

namespace {

struct Case {
  std::string name;
  std::string bytes;
  // Empty when the image is whole; else a part of the reason given.
  std::string why;
};

void ExpectJudged(bool (*judge)(platform::ByteSource&, std::string*),
                  const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    platform::MemoryByteSource source(c.bytes);
    std::string why;
    const bool whole = judge(source, &why);
    EXPECT_EQ(c.why.empty(), whole) << c.name << ": " << why;
    if (!c.why.empty()) {
      EXPECT_NE(why.find(c.why), std::string::npos) << c.name << ": " << why;
    }
  }
}

std::string With(std::string b, std::size_t at, std::uint64_t value, std::size_t width) {
  PutLittleEndian(b, at, value, width);
  return b;
}

PeImage Pe(void (*change)(PeImage&)) {
  PeImage image;
  change(image);
  return image;
}

TEST(PeProgramTest, WholeCutPaddedAndBrokenImages) {
  const std::string pe = TinyPe();  // 1024 bytes of headers, 2 sections of 512
  const std::string amd64 = TinyPe(Pe([](PeImage& i) { i.machine = 0x8664; }));
  const std::string symbols = TinyPe(Pe([](PeImage& i) { i.symbols = 3; }));
  ASSERT_EQ(2048u, pe.size());
  ASSERT_EQ(2048u + 3 * 18 + 8, symbols.size());
  std::string noSignature = pe;
  noSignature[64] = 'X';
  std::vector<Case> cases = {
      {"i386 whole", pe, ""},
      {"AMD64 whole", amd64, ""},
      {"with symbols whole", symbols, ""},
      {"padded", pe + std::string(4096, 'N'), ""},
      {"with symbols padded", symbols + std::string(10, '\0'), ""},
      {"empty", "", "no MZ header (0 bytes)"},
      {"cut at 1", pe.substr(0, 1), "no MZ header (1 bytes)"},
      {"cut at 2", pe.substr(0, 2), "ends inside its MZ header (2 bytes)"},
      {"cut at 63", pe.substr(0, 63), "ends inside its MZ header"},
      {"cut inside the file header", pe.substr(0, 80), "e_lfanew points outside the file"},
      {"cut inside the section table", pe.substr(0, 350), "runs past the end of the file"},
      {"cut inside the headers", pe.substr(0, 1000), "ends inside its headers (1000 bytes of 1024"},
      {"cut inside section 1", pe.substr(0, 1500), "data of section 1 (1500 bytes of 1536"},
      {"cut at the last byte", pe.substr(0, 2047), "data of section 2 (2047 bytes of 2048"},
      {"AMD64 cut", amd64.substr(0, 2047), "data of section 2"},
      {"cut inside the symbols", symbols.substr(0, 2050), "before its symbol table ends"},
      {"cut inside the strings", symbols.substr(0, symbols.size() - 1),
       "before its string table ends"},
      {"strings claim more than there is",
       TinyPe(Pe([](PeImage& i) { i.symbols = 3, i.stringTableSize = 9; })),
       "before its string table ends"},
      {"no MZ", "ZM" + pe.substr(2), "no MZ header"},
      {"e_lfanew far out", With(pe, 0x3c, 0x7fffffff, 4), "e_lfanew points outside the file"},
      {"no PE signature", noSignature, "no PE signature"},
      {"ARM", TinyPe(Pe([](PeImage& i) { i.machine = 0x01c0; })), "for another machine"},
      {"a DLL", TinyPe(Pe([](PeImage& i) { i.characteristics = 0x2102; })), "no program"},
      {"no executable image", TinyPe(Pe([](PeImage& i) { i.characteristics = 0x0100; })),
       "no program"},
      {"no sections", TinyPe(Pe([](PeImage& i) { i.sections = 0; })), "without sections"},
      {"short optional header", TinyPe(Pe([](PeImage& i) { i.optionalHeaderSize = 63; })),
       "optional header is too short"},
      {"PE32+ header on i386", TinyPe(Pe([](PeImage& i) { i.magic = 0x20b; })),
       "does not fit its machine"},
      {"PE32 header on AMD64", TinyPe(Pe([](PeImage& i) { i.machine = 0x8664, i.magic = 0x10b; })),
       "does not fit its machine"},
      {"headers end inside the section table",
       TinyPe(Pe([](PeImage& i) { i.sizeOfHeaders = 320; })), "runs past its headers"},
      {"one more section claimed", TinyPe(Pe([](PeImage& i) { i.claimedSections = 3; })),
       "section 3 of 3 is no valid section"},
      {"a thousand more sections claimed", TinyPe(Pe([](PeImage& i) { i.claimedSections = 1002; })),
       "runs past the end of the file"},
      {"sections out of order", With(pe, 64 + 24 + 224 + 40 + 12, 0x1000, 4),
       "section 2 of 2 is no valid section"},
      {"an ELF program", TinyElf(3), "no MZ header"},
  };
  ExpectJudged(platform::IsWholePeProgram, cases);
}

TEST(ElfProgramTest, WholeCutPaddedAndBrokenPrograms) {
  // 3 is 32-bit x86, which the kernel of either x86 machine starts.
  const std::string elf64 = ElfWithSections(true, 3);
  const std::string elf32 = ElfWithSections(false, 3);
  const std::size_t shoff64 = 64 + 56 + 16;
  ASSERT_EQ(shoff64 + 3 * 64, elf64.size());
  const std::size_t rest64 = 24 + 3 * 8 + 4;  // past e_flags
  std::vector<Case> cases = {
      {"64-bit whole", elf64, ""},
      {"32-bit whole", elf32, ""},
      {"without section headers", TinyElf(3), ""},
      {"padded", elf64 + std::string(4096, 'N'), ""},
      {"many sections, counted in the first entry",
       With(With(elf64, rest64 + 8, 0, 2), shoff64 + 32, 3, 8), ""},
      {"empty", "", "empty or too short"},
      {"cut at 1", elf64.substr(0, 1), "empty or too short"},
      {"cut at 3", elf64.substr(0, 3), "neither an ELF program nor a #! script"},
      {"cut inside the identification", elf64.substr(0, 10), "ELF identification (10 bytes)"},
      {"cut inside the header", elf64.substr(0, 40), "inside its ELF header (40 bytes)"},
      {"32-bit cut inside the header", elf32.substr(0, 51), "inside its ELF header"},
      {"cut inside the program headers", elf64.substr(0, 100), "program header table runs past"},
      {"cut inside the segment", elf64.substr(0, shoff64 - 1), "data of segment 1"},
      {"32-bit cut inside the segment", elf32.substr(0, 52 + 32 + 15), "data of segment 1"},
      {"cut at the section headers", elf64.substr(0, shoff64 + 10),
       "section header table lies past the end"},
      {"cut inside the section headers", elf64.substr(0, elf64.size() - 1),
       "section header table runs past the end"},
      {"32-bit cut inside the section headers", elf32.substr(0, elf32.size() - 1),
       "section header table runs past the end"},
      {"section data past the end", With(elf64, shoff64 + 64 + 32, 0x10000, 8),
       "data of section 1"},
      {"too many sections counted in the first entry",
       With(With(elf64, rest64 + 8, 0, 2), shoff64 + 32, 1000, 8),
       "section header table runs past the end"},
      {"unknown class", With(elf64, 4, 3, 1), "unknown class"},
      {"big-endian", With(elf64, 5, 2, 1), "big-endian"},
      {"unknown version", With(elf64, 6, 0, 1), "unknown version"},
      {"relocatable object", With(elf64, 16, 1, 2), "no program"},
      {"another machine", ElfWithSections(true, 2), "for another machine"},
      {"no program headers", With(elf64, rest64 + 4, 0, 2), "without program headers"},
      {"odd section header size", With(elf64, rest64 + 6, 40, 2), "unknown size"},
      {"a Windows program", TinyPe(), "a Windows program"},
      {"MZ only", "MZ", "a Windows program"},
      {"text", "2.0\r\n", "neither an ELF program nor a #! script"},
  };
  ExpectJudged(platform::IsWholeElfProgramOrScript, cases);
}

TEST(ElfProgramTest, Scripts) {
  std::vector<Case> cases = {
      {"a script", "#!/bin/sh\nexit 0\n", ""},
      {"blanks before the interpreter", "#! \t/bin/sh\n", ""},
      {"a line end just inside what the kernel reads", "#!/" + std::string(252, 'x') + "\n", ""},
      {"#! only", "#!", "does not end"},
      {"no line end", "#!/bin/sh", "does not end"},
      {"a line end past what the kernel reads", "#!/" + std::string(253, 'x') + "\n",
       "does not end"},
      {"no interpreter", "#!  \nexit 0\n", "names no interpreter"},
      {"an empty line", "#!\n", "names no interpreter"},
      {"a CR line end and no interpreter", "#! \r\n", "names no interpreter"},
  };
  ExpectJudged(platform::IsWholeElfProgramOrScript, cases);
}

}  // namespace

// A file larger than 4 GiB whose headers point far into it, as a crafted or
// damaged download may: only the bytes at its start are real, the rest reads
// as zeros (a sparse file). The judges bound every size they read from a
// header before they ask for the bytes, so they never ask for more than the
// headers can take up, whatever the file claims.
class SparseSource : public platform::ByteSource {
 public:
  SparseSource(std::string start, std::uint64_t size) : start_(std::move(start)), size_(size) {}
  std::uint64_t Size() const override { return size_; }
  bool ReadAt(std::uint64_t offset, std::size_t count, std::vector<unsigned char>& out) override {
    largest_ = std::max<std::uint64_t>(largest_, count);
    if (offset > size_ || count > size_ - offset || count > kRefused) return false;
    out.assign(count, 0);
    for (std::size_t i = 0; i < count && offset + i < start_.size(); ++i) {
      out[i] = static_cast<unsigned char>(start_[static_cast<std::size_t>(offset) + i]);
    }
    return true;
  }
  std::uint64_t largest() const { return largest_; }

 private:
  static constexpr std::uint64_t kRefused = 256u << 20;  // never handed out here
  std::string start_;
  std::uint64_t size_;
  std::uint64_t largest_ = 0;
};

TEST(ProgramFormatTest, HeadersPointingPastFourGiBAreRefusedWithoutReadingThere) {
  const std::uint64_t overFourGiB = (std::uint64_t{1} << 32) + 4096;
  const std::string elf64 = ElfWithSections(true, 3);
  const std::size_t shoff64 = 64 + 56 + 16;
  const std::size_t rest64 = 24 + 3 * 8 + 4;
  struct Row {
    const char* name;
    bool (*judge)(platform::ByteSource&, std::string*);
    std::string start;
  };
  const Row rows[] = {
      {"PE with e_lfanew near 2^32", platform::IsWholePeProgram,
       With(TinyPe(), 0x3c, 0xFFFFFFF0u, 4)},
      {"ELF counting 2^26 sections in its first entry", platform::IsWholeElfProgramOrScript,
       With(With(elf64, rest64 + 8, 0, 2), shoff64 + 32, std::uint64_t{1} << 26, 8)},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    SparseSource source(r.start, overFourGiB);
    std::string why;
    EXPECT_FALSE(r.judge(source, &why));
    EXPECT_LE(source.largest(), std::uint64_t{64} << 20) << why;
  }
}
