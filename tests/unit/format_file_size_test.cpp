// The byte count with its unit that the download log line carries.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/locale.h"
#include "support/u_Utility.h"

namespace {

TEST(FormatFileSizeTest, PicksTheUnitByExclusiveThresholdsAndRoundsHalfAway) {
  // Expected texts carry "," where the running system's separator goes, so
  // the table holds on a Dutch and an English system alike.
  struct Row {
    std::int32_t size;
    const char* text;
  };
  const std::vector<Row> rows = {
      {-1, "-1 b"},
      {0, "0 b"},
      {1024, "1024 b"},  // a threshold itself falls to the row below
      {1025, "1,0 KB"},
      {1280, "1,3 KB"},  // 1.25 rounds away from zero
      {1048576, "1024,0 KB"},
      {1048577, "1,0 MB"},
      {1073741824, "1024,0 MB"},
      {1073741825, "1,0 GB"},
      {2147483647, "2,0 GB"},
      {-2147483647 - 1, "-2147483648 b"},
  };
  const char sep = platform::DecimalSeparator();
  for (const Row& r : rows) {
    std::string expected = r.text;
    for (char& c : expected) {
      if (c == ',') c = sep;
    }
    EXPECT_EQ(expected, TUtility::FormatFileSize(r.size)) << "for " << r.size << " bytes";
  }
}

}  // namespace
