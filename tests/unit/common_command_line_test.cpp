// Splitting parameters as the Windows C runtime does: blanks, quotes and the
// backslashes before quotes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/common/command_line.h"

namespace {

TEST(CommandLineTest, SplitsAsTheWindowsRuntime) {
  struct Case {
    std::string line;
    std::vector<std::string> args;
  };
  const std::vector<Case> cases = {
      {"", {}},
      {"   \t ", {}},
      {"a b", {"a", "b"}},
      {"  a\t b  ", {"a", "b"}},
      {R"("a b" c)", {"a b", "c"}},
      {R"(a"b c"d)", {"ab cd"}},
      {R"("" x)", {"", "x"}},
      {R"(C:\Program Files\x)", {R"(C:\Program)", R"(Files\x)"}},
      {R"(a\\b)", {R"(a\\b)"}},
      {R"(a\)", {R"(a\)"}},
      {R"(\"a)", {R"("a)"}},
      {R"(\\"a b")", {R"(\a b)"}},
      {R"(\\\"a)", {R"(\"a)"}},
      {R"(\\\\"a b")", {R"(\\a b)"}},
      {R"("a""b")", {R"(a"b)"}},
      {R"("a ""b"" c" d)", {R"(a "b" c)", "d"}},
      {R"("unterminated b)", {"unterminated b"}},
      {R"(/S /D="C:\Kestro Loader\")", {"/S", R"(/D=C:\Kestro Loader")"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.args, platform::SplitParameters(c.line)) << c.line;
  }
}

}  // namespace
