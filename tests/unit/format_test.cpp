// Checked formatting: the placeholders the loader uses, the errors for a
// placeholder that does not fit, and the rounding of fixed-point numbers.

#include "support/Format.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/locale.h"
#include "support/Exceptions.h"

namespace {

// '#' in an expected text stands for the user's decimal separator.
std::string WithUserSeparator(std::string s) {
  for (char& c : s) {
    if (c == '#') c = platform::DecimalSeparator();
  }
  return s;
}

struct FormatCase {
  const char* name;
  const char* fmt;
  FmtArgs args;
  const char* expected;
};

TEST(Format, WritesEachPlaceholderKind) {
  const FormatCase cases[] = {
      {"plain text", "Loader is afgesloten", {}, "Loader is afgesloten"},
      {"empty format", "", {}, ""},
      {"text", "Bestand: %s", {"sarvo2006.exe"}, "Bestand: sarvo2006.exe"},
      {"empty text", "[%s]", {""}, "[]"},
      {"null text", "[%s]", {static_cast<const char*>(nullptr)}, "[]"},
      {"integer", "Resultaat: %d", {42}, "Resultaat: 42"},
      {"negative integer", "%d", {-7}, "-7"},
      {"64-bit integer", "%d", {4294967296LL}, "4294967296"},
      {"text and integer in order", "%s=%d;%s", {"a", 1, "b"}, "a=1;b"},
      {"percent sign", "100%% klaar", {}, "100% klaar"},
      {"percent next to placeholder", "%d%%", {5}, "5%"},
      {"fixed point", "%.1f MB", {1.25}, "1#3 MB"},
      {"fixed point, no decimals", "%.0f", {2.5}, "3"},
      {"fixed point, two digits of precision", "%.10f", {0.5}, "0#5000000000"},
      {"f without precision has two decimals", "%f", {3.14159}, "3#14"},
      {"extra arguments ignored", "%s", {"a", "b", 3}, "a"},
      {"arguments without placeholders ignored", "geen", {1}, "geen"},
  };
  for (const FormatCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Format(c.fmt, c.args), WithUserSeparator(c.expected));
  }
}

TEST(Format, RaisesConvertErrorForPlaceholderThatDoesNotFit) {
  const FormatCase cases[] = {
      {"integer for text", "%s", {5}, ""},
      {"text for integer", "%d", {"5"}, ""},
      {"float for integer", "%d", {1.5}, ""},
      {"integer for float", "%.2f", {3}, ""},
      {"text for float", "%.2f", {"3"}, ""},
      {"missing only argument", "Melding: %s", {}, ""},
      {"missing second argument", "%s (%s)", {"a"}, ""},
      {"unknown placeholder", "%x", {1}, ""},
      {"width is not understood", "%5d", {1}, ""},
      {"lone percent at end", "50%", {}, ""},
      {"precision without f", "%.2d", {1}, ""},
      {"precision without digits", "%.f", {1.0}, ""},
      {"precision cut off", "%.2", {1.0}, ""},
  };
  for (const FormatCase& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      Format(c.fmt, c.args);
      ADD_FAILURE() << "no EConvertError for \"" << c.fmt << "\"";
    } catch (const EConvertError& e) {
      // The message names the format text, so the faulty call can be found.
      EXPECT_NE(e.Message().find(c.fmt), std::string::npos) << e.Message();
      EXPECT_STREQ(e.ClassName(), "EConvertError");
    }
  }
}

struct FixedCase {
  double value;
  int decimals;
  char separator;
  const char* expected;
};

TEST(FormatFixed, RoundsHalfAwayFromZeroOnTheWrittenValue) {
  const FixedCase cases[] = {
      // Exact halves go away from zero, never to the even neighbour.
      {1.25, 1, ',', "1,3"},
      {-1.25, 1, ',', "-1,3"},
      {0.5, 0, ',', "1"},
      {-0.5, 0, ',', "-1"},
      {2.5, 0, ',', "3"},
      {0.125, 2, ',', "0,13"},
      // Stored just below the half (2.67499999999999982...), written as 2.675:
      // rounds as the number reads.
      {2.675, 2, ',', "2,68"},
      {-2.675, 2, ',', "-2,68"},
      {1.005, 2, ',', "1,01"},
      {0.045, 2, ',', "0,05"},
      {1.45, 1, ',', "1,5"},
      // Really below the half at the precision a double holds: rounds down.
      {2.67499999999999, 2, ',', "2,67"},
      {1.24, 1, ',', "1,2"},
      // Carries through every digit.
      {9.995, 2, ',', "10,00"},
      {99.96, 1, ',', "100,0"},
      {-999.5, 0, ',', "-1000"},
      // Zero and values that round to it carry no sign.
      {0.0, 2, ',', "0,00"},
      {-0.0, 1, ',', "0,0"},
      {-0.001, 2, ',', "0,00"},
      {1e-20, 3, ',', "0,000"},
      {0.000123, 5, ',', "0,00012"},
      // No thousands separator, whole digits kept.
      {1234567.891, 2, ',', "1234567,89"},
      {1e15, 1, ',', "1000000000000000,0"},
      {123.0, 0, ',', "123"},
      {3.14159, 3, '.', "3.142"},
      // Nonsense decimals are clamped rather than trusted.
      {1.5, -2, ',', "2"},
  };
  for (const FixedCase& c : cases) {
    SCOPED_TRACE(std::string("value ") + std::to_string(c.value) + ", decimals " +
                 std::to_string(c.decimals));
    EXPECT_EQ(FormatFixed(c.value, c.decimals, c.separator), c.expected);
  }
}

}  // namespace
