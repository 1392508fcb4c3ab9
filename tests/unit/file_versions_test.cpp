// The order of companion releases by file version: four numbers compared one
// by one, so "1.10" is newer than "1.9"; a text that is no version never
// counts as older. Then the refusal itself over real version resources.
#include "companion/file_versions.h"

#include <gtest/gtest.h>

#include <string>

#include "support/fixtures.h"
#include "support/testing.h"

namespace {

TEST(FileVersionsTest, OlderOnlyWhenBothAreVersionsAndTheFirstIsLower) {
  struct Row {
    const char* candidate;
    const char* installed;
    bool older;
  };
  const Row rows[] = {
      {"1.0", "1.1", true},
      {"1.1", "1.0", false},
      {"1.9", "1.10", true},
      {"1.10", "1.9", false},
      {"5.1.5.203", "5.1.5.203", false},
      {"5.1.5.202", "5.1.5.203", true},
      {"5.1.5", "5.1.5.0", false},
      {"5.1", "5.1.0.1", true},
      {"5, 1, 5, 9", "5, 1, 5, 10", true},
      {" 2.0 ", "10.0", true},
      {"4294967295.0", "1.0", false},
      // What is no version is allowed, as when a file has none.
      {"", "1.0", false},
      {"1.0", "", false},
      {"1.0 beta", "2.0", false},
      {"1.0.0.0.0", "2.0", false},
      {"1..0", "2.0", false},
      {"4294967296.0", "5.0", false},
      {"-1.0", "1.0", false},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(r.older, IsOlderVersion(r.candidate, r.installed))
        << '"' << r.candidate << "\" against \"" << r.installed << '"';
  }
}

// Both builds read a Windows program's version resource, so the refusal
// itself runs in both, over the PE fixtures. The binary file version decides:
// a lower version in another language block, with a suffix in its text, or a
// download without any version does not pass where the installed companion
// has one.
TEST(FileVersionsTest, ADownloadOlderThanTheInstalledCompanionIsRefused) {
  using testing_support::PeFixture;
  const std::string v10 = PeFixture("ver_nl_1_0.exe");
  const std::string v11 = PeFixture("ver_nl_1_1.exe");
  const std::string us10 = PeFixture("ver_us_1_0.exe");
  const std::string us99 = PeFixture("ver_us_only.exe");
  const std::string suffix10 = PeFixture("ver_nl_suffix_1_0.exe");
  const std::string none = PeFixture("no_version.exe");
  const std::string ii = std::string("ge") + (testing_support::OnWindows() ? "\xEF" : "\xC3\xAF");
  struct Row {
    const char* name;
    std::string download;
    std::string installed;
    std::string refusal;  // empty: allowed
  };
  const Row rows[] = {
      {"older", v10, v11, "Versie 1.0 is ouder dan de " + ii + "nstalleerde 1.1"},
      {"older, in another language block only", us10, v11,
       "Versie 1.0.0.0 is ouder dan de " + ii + "nstalleerde 1.1"},
      {"older, with a suffix in its text", suffix10, v11,
       "Versie 1.0.0.0 (build 12) is ouder dan de " + ii + "nstalleerde 1.1"},
      {"without a version", none, v11,
       "Versie van de download is niet te lezen, de " + ii + "nstalleerde 1.1 heeft er een"},
      {"newer", v11, v10, ""},
      {"the same", v11, v11, ""},
      {"newer, in another language block only", us99, v11, ""},
      {"the same, with a suffix in its text", suffix10, v10, ""},
      {"over a companion without a version", v10, none, ""},
      {"over no companion", v10, v11 + ".missing", ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    std::string refusal;
    try {
      RefuseDowngrade(r.download, r.installed);
    } catch (const EUpdateDowngrade& e) {
      refusal = e.Message();
    }
    EXPECT_EQ(refusal, r.refusal);
  }
}

// The binary version is read from every version resource, whatever its
// blocks, and from none where the file has no resource.
TEST(FileVersionsTest, TheBinaryVersionOfEachFixture) {
  using testing_support::PeFixture;
  EXPECT_EQ(FixedFileVersion(PeFixture("ver_nl_1_1.exe")), (FileVersion{1, 1, 0, 0}));
  EXPECT_EQ(FixedFileVersion(PeFixture("ver_us_only.exe")), (FileVersion{9, 9, 0, 0}));
  EXPECT_EQ(FixedFileVersion(PeFixture("ver_nl_suffix_1_0.exe")), (FileVersion{1, 0, 0, 0}));
  EXPECT_EQ(FixedFileVersion(PeFixture("no_version.exe")), std::nullopt);
  EXPECT_EQ(FixedFileVersion(PeFixture("no_version.exe") + ".missing"), std::nullopt);
}

}  // namespace
