// Paths cleaned up on the text alone: the absolute form that ExpandFileName
// gives on the Linux port and the canonical form of CanonicalizePath.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/common/slash_paths.h"

namespace {

struct Case {
  std::string path;
  std::string expected;
};

TEST(SlashPathsTest, NormalizeAbsolutePath) {
  const std::vector<Case> cases = {
      {"/", "/"},         {"/a/b", "/a/b"},    {"/a/./b", "/a/b"}, {"//a///b", "/a/b"},
      {"/a/../b", "/b"},  {"/../../a", "/a"},  {"/a/..", "/"},     {"/a/../", "/"},
      {"/a/b/", "/a/b/"}, {"/a/b/../", "/a/"}, {"/a/b/.", "/a/b"}, {"/a b/.c/..d", "/a b/.c/..d"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.expected, platform::NormalizeAbsolutePath(c.path)) << c.path;
}

TEST(SlashPathsTest, CanonicalizePathText) {
  const std::vector<Case> cases = {
      {"", ""},
      {"/", "/"},
      {"a/./b", "a/b"},
      {"/a/../b", "/b"},
      {"a/b/..", "a"},
      {"../a", "a"},
      {"/..", "/"},
      {"a//b", "a//b"},
      {"a/b/", "a/b/"},
      {"./", ""},
      {std::string(259, 'x'), std::string(259, 'x')},
  };
  for (const Case& c : cases) {
    std::string out = "unchanged";
    EXPECT_TRUE(platform::CanonicalizePathText(c.path, out)) << c.path;
    EXPECT_EQ(c.expected, out) << c.path;
  }
  // The input counts before it is cleaned up: 260 characters do not fit,
  // even where the result would.
  for (const std::string& tooLong : {std::string(260, 'x'), "a/../" + std::string(256, 'x')}) {
    std::string out = "unchanged";
    EXPECT_FALSE(platform::CanonicalizePathText(tooLong, out)) << tooLong.size();
    EXPECT_EQ("unchanged", out);
  }
}

}  // namespace
