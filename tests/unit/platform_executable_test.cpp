// The whole-program test of the platform layer, over real files: the
// programs this build makes, each whole and cut at several places, and files
// that are no program for this platform at all.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/executable.h"
#include "platform/sysinfo.h"
#include "support/fixtures.h"
#include "support/program_images.h"
#include "support/testing.h"

using namespace testing_support;

namespace {

std::uint16_t Le16(const std::string& b, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) |
                                    (static_cast<unsigned char>(b[at + 1]) << 8));
}

std::uint32_t Le32(const std::string& b, std::size_t at) {
  return Le16(b, at) | (static_cast<std::uint32_t>(Le16(b, at + 2)) << 16);
}

// A PE file whose header claims `extra` more sections than it has.
std::string WithMoreSections(std::string pe, std::uint16_t extra) {
  const std::size_t at = Le32(pe, 0x3c) + 6;
  const std::uint16_t n = static_cast<std::uint16_t>(Le16(pe, at) + extra);
  pe[at] = static_cast<char>(n & 0xff);
  pe[at + 1] = static_cast<char>(n >> 8);
  return pe;
}

struct Case {
  std::string name;
  std::string bytes;
  bool whole;
};

class ExecutableTest : public ::testing::Test {
 protected:
  bool Check(const Case& c, std::string& why) {
    const std::string path = dir_ / "candidate.exe";
    WriteFile(path, c.bytes);
    return platform::IsWholeExecutable(path, &why);
  }
  TempDir dir_;
};

// The programs this build makes for itself: whole, they pass; cut anywhere
// the format records (and both formats record where the file ends), they fail.
TEST_F(ExecutableTest, OwnProgramsPassWholeAndFailCutShort) {
  std::vector<std::pair<std::string, std::string>> programs = {
      {"sarvo_standin", ReadFile(FixtureProgram("sarvo_standin"))},
      {"sleeper", ReadFile(FixtureProgram("sleeper"))},
  };
  if (OnWindows()) {
    programs.push_back({"ver_nl_1_0.exe", ReadFile(PeFixture("ver_nl_1_0.exe"))});
    programs.push_back({"no_version.exe", ReadFile(PeFixture("no_version.exe"))});
  } else {
    programs.push_back({"tiny ELF", TinyElf()});
  }
  std::vector<Case> cases;
  for (const auto& p : programs) {
    ASSERT_GT(p.second.size(), 100u) << p.first;
    const std::size_t size = p.second.size();
    cases.push_back({p.first + " whole", p.second, true});
    cases.push_back({p.first + " with padding after it", p.second + std::string(4096, 'N'), true});
    std::vector<std::size_t> cuts = {0, 1, 2, 64, 100, size / 2, size - 1};
    if (size > 8192) cuts.push_back(size - 4095);
    for (std::size_t cut : cuts) {
      cases.push_back({p.first + " cut at " + std::to_string(cut), p.second.substr(0, cut), false});
    }
  }
  for (const Case& c : cases) {
    std::string why;
    EXPECT_EQ(c.whole, Check(c, why)) << c.name << ": " << why;
    if (!c.whole) {
      EXPECT_FALSE(why.empty()) << c.name << ": no reason given";
    }
  }
}

TEST_F(ExecutableTest, FilesThatAreNoProgramForThisPlatformFail) {
  const std::string pe = ReadFile(PeFixture("no_version.exe"));
  const std::string login =
      "<!DOCTYPE html>\r\n<html><head><title>Inloggen</title></head>"
      "<body><form method=\"post\">Gastnetwerk</form></body></html>\r\n";
  std::vector<Case> cases = {
      {"empty", "", false},
      {"MZ only", "MZ", false},
      {"MZ and a DOS header of zeros", "MZ" + std::string(62, '\0'), false},
      {"an HTML login page", login, false},
      {"text", "2.0\r\n", false},
      {"PE claiming one more section", WithMoreSections(pe, 1), false},
      {"PE claiming a thousand more sections", WithMoreSections(pe, 1000), false},
      {"ELF for another machine", TinyElf(183 /* AArch64 */), false},
      {"#! without a line end", "#!/bin/sh", false},
      {"#! without an interpreter", "#!  \nexit 0\n", false},
  };
  // The other platform's programs, whole as they are.
  if (OnWindows()) {
    cases.push_back({"a Linux program", TinyElf(), false});
    cases.push_back({"a script", "#!/bin/sh\nexit 0\n", false});
  } else {
    cases.push_back({"a Windows program", pe, false});
    cases.push_back({"a script", "#!/bin/sh\nexit 0\n", true});
    cases.push_back({"a script with blanks before its interpreter", "#! /bin/sh\n", true});
  }
  for (const Case& c : cases) {
    std::string why;
    EXPECT_EQ(c.whole, Check(c, why)) << c.name << ": " << why;
  }
}

TEST_F(ExecutableTest, WhatCannotBeReadFails) {
  std::string why;
  EXPECT_FALSE(platform::IsWholeExecutable(dir_ / "missing.exe", &why));
  EXPECT_FALSE(why.empty());
  MakeDirs(dir_ / "folder.exe");
  EXPECT_FALSE(platform::IsWholeExecutable(dir_ / "folder.exe", &why));
  // The reason is optional.
  EXPECT_FALSE(platform::IsWholeExecutable(dir_ / "missing.exe"));
  EXPECT_TRUE(platform::IsWholeExecutable(FixtureProgram("sleeper")));
}

// A download just over 4 GiB whose headers point near its end (a sparse
// file here): refused, without the check reading gigabytes to find out.
TEST_F(ExecutableTest, AFileOverFourGiBWithHeadersPointingThereFails) {
  std::string start;
  if (OnWindows()) {
    start = TinyPe();
    PutLittleEndian(start, 0x3c, 0xFFFFFFF0u, 4);  // e_lfanew
  } else {
    // Its section count in the first section header: 2^26 headers of 64
    // bytes, 4 GiB of them.
    start = ElfWithSections(true, 3);
    PutLittleEndian(start, 24 + 3 * 8 + 4 + 8, 0, 2);
    PutLittleEndian(start, 64 + 56 + 16 + 32, std::uint64_t{1} << 26, 8);
  }
  const std::string path = dir_ / "sparse.exe";
  WriteFile(path, start);
  std::filesystem::resize_file(path, (std::uintmax_t{1} << 32) + 4096);
  std::string why;
  EXPECT_FALSE(platform::IsWholeExecutable(path, &why));
  EXPECT_FALSE(why.empty());
  std::filesystem::remove(path);
}

}  // namespace
