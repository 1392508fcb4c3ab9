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
// itself runs in both, over the PE fixtures.
TEST(FileVersionsTest, ADownloadOlderThanTheInstalledCompanionIsRefused) {
  const std::string v10 = testing_support::PeFixture("ver_nl_1_0.exe");
  const std::string v11 = testing_support::PeFixture("ver_nl_1_1.exe");
  const std::string none = testing_support::PeFixture("no_version.exe");
  try {
    RefuseDowngrade(v10, v11);
    ADD_FAILURE() << "1.0 over 1.1 was not refused";
  } catch (const EUpdateDowngrade& e) {
    EXPECT_EQ(std::string("Versie 1.0 is ouder dan de ge") +
                  (testing_support::OnWindows() ? "\xEF" : "\xC3\xAF") + "nstalleerde 1.1",
              e.Message());
  }
  EXPECT_NO_THROW(RefuseDowngrade(v11, v10));
  EXPECT_NO_THROW(RefuseDowngrade(v11, v11));
  EXPECT_NO_THROW(RefuseDowngrade(none, v11));
  EXPECT_NO_THROW(RefuseDowngrade(v10, none));
  EXPECT_NO_THROW(RefuseDowngrade(v10, v11 + ".missing"));
}

}  // namespace
