// The switch test: arguments joined, upper-cased a to z only, and a plain
// substring test for "/" + the name.
#include <gtest/gtest.h>

#include "support/u_Utility.h"

namespace {

TEST(ParamExists, SwitchesAreFoundAsPlainSubstrings) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    const char* sw;
    bool expected;
  } cases[] = {
      {"no arguments", {}, "noupdate", false},
      {"upper case", {"/NOUPDATE"}, "noupdate", true},
      {"mixed case", {"/noUpdate"}, "noupdate", true},
      {"dash is no switch", {"-noupdate"}, "noupdate", false},
      {"longer argument still matches", {"/noupdates"}, "noupdate", true},
      {"text before the slash", {"x/noupdate"}, "noupdate", true},
      {"other switch", {"/noconnectiontest"}, "noupdate", false},
      {"other switch found", {"/noconnectiontest"}, "noconnectiontest", true},
      {"quoted argument with blank", {"a /noupdate"}, "noupdate", true},
      {"name with surrounding blanks", {"/noupdate"}, " noupdate ", true},
      {"second of several", {"/a", "/NoUpdate"}, "noupdate", true},
      {"non-ASCII letters are not folded", {"/NO\xc9"}, "no\xe9", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ParamExistsIn(c.args, c.sw), c.expected);
  }
}

TEST(ParamExists, TheTestProgramItselfHasNoSwitches) {
  EXPECT_FALSE(TUtility::ParamExists("noupdate"));
}

}  // namespace
