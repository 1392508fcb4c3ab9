// printf-like formatting with checked arguments: "%s" takes a text, "%d" an
// integer, "%.Nf" a floating-point number (written with the user's decimal
// separator, rounded half away from zero), "%%" a percent sign. A placeholder
// that does not fit its argument, or a missing argument, raises EConvertError.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class FmtArg {
 public:
  enum class Kind { Text, Integer, Float };

  FmtArg(const std::string& s) : kind_(Kind::Text), text_(s) {}
  FmtArg(const char* s) : kind_(Kind::Text), text_(s ? s : "") {}
  FmtArg(int v) : kind_(Kind::Integer), int_(v) {}
  FmtArg(unsigned v) : kind_(Kind::Integer), int_(v) {}
  FmtArg(long v) : kind_(Kind::Integer), int_(v) {}
  FmtArg(long long v) : kind_(Kind::Integer), int_(v) {}
  FmtArg(unsigned long v) : kind_(Kind::Integer), int_(static_cast<long long>(v)) {}
  FmtArg(unsigned long long v) : kind_(Kind::Integer), int_(static_cast<long long>(v)) {}
  FmtArg(double v) : kind_(Kind::Float), float_(v) {}

  Kind kind() const { return kind_; }
  const std::string& text() const { return text_; }
  long long integer() const { return int_; }
  double real() const { return float_; }

 private:
  Kind kind_;
  std::string text_;
  long long int_ = 0;
  double float_ = 0;
};

using FmtArgs = std::vector<FmtArg>;

std::string Format(const std::string& fmt, const FmtArgs& args);

// Rounds half away from zero to `decimals` digits and writes the number with
// `separator` as decimal separator and no thousands separator.
std::string FormatFixed(double value, int decimals, char separator);

// Text from outside (a server's status line, a library's message that may
// quote it) made safe for the log and standard error: every control
// character but tab (codes 0 to 31 and 127), CR and LF included, becomes
// '?', so such text can neither start a log line of its own nor drive a
// terminal. Bytes from 128 up are text in the code page and stay.
std::string PrintableText(const std::string& text);
