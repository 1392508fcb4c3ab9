// Contract of platform::QueryVersionString, against real Windows executables
// built with version resources (tests/fixtures/CMakeLists.txt).
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/sysinfo.h"
#include "platform/version_info.h"
#include "support/fixtures.h"
#include "support/testing.h"

namespace {

using testing_support::PeFixture;

const char* const kDutchFileVersion = "\\StringFileInfo\\041304E4\\FileVersion";

struct QueryCase {
  const char* name;
  const char* file;
  const char* query;
  bool found;
  const char* value;
};

TEST(PlatformVersionInfo, LooksUpStringsByBlockAndName) {
  const QueryCase cases[] = {
      {"dutch 1.0", "ver_nl_1_0.exe", kDutchFileVersion, true, "1.0"},
      {"dutch 1.1", "ver_nl_1_1.exe", kDutchFileVersion, true, "1.1"},
      {"product version", "ver_nl_1_0.exe", "\\StringFileInfo\\041304E4\\ProductVersion", true,
       "1.0"},
      {"block in lower case", "ver_nl_1_1.exe", "\\StringFileInfo\\041304e4\\FileVersion", true,
       "1.1"},
      {"name in other case", "ver_nl_1_1.exe", "\\StringFileInfo\\041304E4\\fileversion", true,
       "1.1"},
      {"US-only file, Dutch block", "ver_us_only.exe", kDutchFileVersion, false, ""},
      {"US-only file, its own block", "ver_us_only.exe", "\\StringFileInfo\\040904E4\\FileVersion",
       true, "9.9"},
      {"Dutch file, US block", "ver_nl_1_0.exe", "\\StringFileInfo\\040904E4\\FileVersion", false,
       ""},
      {"no such string", "ver_nl_1_0.exe", "\\StringFileInfo\\041304E4\\NoSuchString", false, ""},
      {"no version resource", "no_version.exe", kDutchFileVersion, false, ""},
      {"missing file", "does_not_exist.exe", kDutchFileVersion, false, ""},
      // Code page 1252 text comes back as its ANSI bytes (e-acute, euro, tab).
      {"ANSI text", "ver_nl_1_0.exe", "\\StringFileInfo\\041304E4\\Comments", true,
       "Caf\xE9 \x80 1 \t2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out = "untouched";
    const bool found = platform::QueryVersionString(PeFixture(c.file), c.query, out);
    EXPECT_EQ(found, c.found);
    if (c.found) {
      EXPECT_EQ(out, c.value);
    }
  }
}

TEST(PlatformVersionInfo, AFileThatIsNoExecutableHasNoVersion) {
  testing_support::TempDir dir;
  const std::string cases[][2] = {
      {"empty", ""},
      {"text", "just some text, no executable at all"},
      {"MZ only", "MZ"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c[0]);
    const std::string path = dir / (c[0] + ".exe");
    testing_support::WriteFile(path, c[1]);
    std::string out;
    EXPECT_FALSE(platform::QueryVersionString(path, kDutchFileVersion, out));
  }
}

// Damaged copies of a good fixture must give false (or, where the damage
// misses everything the lookup reads, the right value), and never crash or
// hand out a wrong text.
class DamagedFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    good_ = testing_support::ReadFile(PeFixture("ver_nl_1_0.exe"));
    ASSERT_GT(good_.size(), 0x200u);
    peOffset_ = U32(0x3C);
    ASSERT_LT(peOffset_ + 24, good_.size());
    const std::u16string key = u"VS_VERSION_INFO";
    const std::string needle(reinterpret_cast<const char*>(key.data()), key.size() * 2);
    versionKey_ = good_.find(needle);
    ASSERT_NE(versionKey_, std::string::npos);
  }

  std::uint32_t U32(std::size_t off) const {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(good_[off])) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(good_[off + 1])) << 8) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(good_[off + 2])) << 16) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(good_[off + 3])) << 24);
  }
  static void Put32(std::string& s, std::size_t off, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) s[off + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  }

  // Writes the damaged copy and asks it for the Dutch file version.
  void Check(const std::string& name, const std::string& bytes, bool mayStillFind) {
    SCOPED_TRACE(name);
    const std::string path = dir_ / (name + ".exe");
    testing_support::WriteFile(path, bytes);
    std::string out;
    const bool found = platform::QueryVersionString(path, kDutchFileVersion, out);
    if (mayStillFind) {
      if (found) {
        EXPECT_EQ(out, "1.0");
      }
    } else {
      EXPECT_FALSE(found) << "gave \"" << out << "\"";
    }
  }

  testing_support::TempDir dir_;
  std::string good_;
  std::uint32_t peOffset_ = 0;
  std::size_t versionKey_ = 0;
};

TEST_F(DamagedFixture, TruncatedCopiesGiveNothing) {
  // Cut inside the headers, the section table, and the version resource.
  const std::size_t cuts[] = {1,
                              0x3C,
                              0x40,
                              peOffset_ + 2,
                              peOffset_ + 30,
                              peOffset_ + 0x100,
                              versionKey_ - 6,
                              versionKey_ + 10,
                              versionKey_ + 0x60};
  for (std::size_t cut : cuts) {
    Check("cut at " + std::to_string(cut), good_.substr(0, cut), false);
  }
}

TEST_F(DamagedFixture, CorruptedHeadersGiveNothing) {
  struct Damage {
    const char* name;
    std::function<void(std::string&)> apply;
    bool mayStillFind;  // the damage may miss what the lookup needs
  };
  const std::size_t pe = peOffset_;
  const std::size_t vk = versionKey_;
  const Damage damages[] = {
      {"no MZ", [](std::string& s) { s[0] = 'X'; }, false},
      {"PE offset past the end", [](std::string& s) { Put32(s, 0x3C, 0x7FFFFFF0u); }, false},
      {"PE offset wraps", [](std::string& s) { Put32(s, 0x3C, 0xFFFFFFFCu); }, false},
      {"no PE signature", [pe](std::string& s) { s[pe] = 'X'; }, false},
      {"huge section count",
       [pe](std::string& s) {
         s[pe + 6] = '\xFF';
         s[pe + 7] = '\xFF';
       },
       false},
      {"version block length zero",
       [vk](std::string& s) {
         s[vk - 6] = 0;
         s[vk - 5] = 0;
       },
       false},
      // Windows reads on within the resource data; that is no harm as long as no
      // read leaves the file's bytes.
      {"version block longer than its data",
       [vk](std::string& s) {
         s[vk - 6] = '\xFF';
         s[vk - 5] = '\xFF';
       },
       true},
  };
  for (const auto& d : damages) {
    std::string bytes = good_;
    d.apply(bytes);
    Check(d.name, bytes, d.mayStillFind);
  }
}

TEST(PlatformVersionInfo, TheRunningProgramAnswersWithItsOwnVersion) {
  // On the Linux port the running program is no PE file and answers from the
  // version compiled into it; a Windows test binary carries no resource.
  if (testing_support::OnWindows()) GTEST_SKIP() << "only the Linux port compiles its version in";
  std::string out;
  ASSERT_TRUE(platform::QueryVersionString(platform::ModuleFileName(), kDutchFileVersion, out));
  EXPECT_EQ(out, KESTRO_FILE_VERSION);
  ASSERT_TRUE(platform::QueryVersionString(platform::ModuleFileName(),
                                           "\\StringFileInfo\\041304E4\\ProductVersion", out));
  EXPECT_EQ(out, KESTRO_PRODUCT_VERSION);
  EXPECT_FALSE(platform::QueryVersionString(platform::ModuleFileName(),
                                            "\\StringFileInfo\\040904E4\\FileVersion", out));
  // The binary version too, the same four numbers.
  std::uint32_t ms = 0, ls = 0;
  ASSERT_TRUE(platform::QueryFixedFileVersion(platform::ModuleFileName(), ms, ls));
  const std::string numbers = std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." +
                              std::to_string(ls >> 16) + "." + std::to_string(ls & 0xFFFF);
  EXPECT_EQ(numbers, KESTRO_FILE_VERSION);
}

}  // namespace
