// Checked printf-like formatting for the log and the texts of the loader.
//
// Only the placeholders the loader writes are understood: "%s", "%d", "%.Nf"
// (and "%f", which means two decimals) and "%%". Anything else after a "%" is
// a fault in the calling code, so it raises EConvertError instead of writing
// something half-right into a log line or a window.

#include "support/Format.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/locale.h"
#include "support/Exceptions.h"

namespace {

// More decimals than this carry no information for a double; the stored
// value has about 15 significant decimal digits.
constexpr int kMaxDecimals = 18;

// The significant decimal digits of a double that we treat as its value.
// A double such as 2.675 is stored as 2.67499999999999982236431605997...;
// a person who wrote 2.675 expects it to round to 2.68. So rounding works on
// the value printed with 15 significant digits (the precision a double
// reliably holds), which gives back the number as it was written, and then
// rounds that decimal text half away from zero. Values that really are just
// below a half at 15 digits (2.67499999999999) still round down.
constexpr int kSignificantDigits = 15;

[[noreturn]] void ThrowInvalid(const std::string& fmt) {
  throw EConvertError("Format '" + fmt + "' invalid or incompatible with argument");
}

[[noreturn]] void ThrowMissing(const std::string& fmt) {
  throw EConvertError("No argument for format '" + fmt + "'");
}

}  // namespace

std::string FormatFixed(double value, int decimals, char separator) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  if (decimals < 0) decimals = 0;
  if (decimals > kMaxDecimals) decimals = kMaxDecimals;

  const bool negative = std::signbit(value);
  const double magnitude = std::fabs(value);

  // digits: the significant digits without the point; exponent: the power of
  // ten of the first digit. 0 prints as "0.00000000000000e+00".
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*e", kSignificantDigits - 1, magnitude);
  std::string digits;
  const char* p = buf;
  for (; *p && *p != 'e'; ++p) {
    if (*p >= '0' && *p <= '9') digits += *p;
  }
  const int exponent = (*p == 'e') ? std::atoi(p + 1) : 0;

  // Lay the digits out as an integer part and exactly `decimals` fraction
  // digits plus one more digit that decides the rounding.
  std::string intPart;
  std::string fracPart;
  const int pointPos = exponent + 1;  // digits before the decimal point
  if (pointPos > 0) {
    if (static_cast<int>(digits.size()) >= pointPos) {
      intPart = digits.substr(0, pointPos);
      fracPart = digits.substr(pointPos);
    } else {
      intPart = digits + std::string(pointPos - digits.size(), '0');
    }
  } else {
    intPart = "0";
    fracPart = std::string(-pointPos, '0') + digits;
  }
  fracPart.resize(decimals + 1, '0');
  const bool roundUp = fracPart[decimals] >= '5';
  fracPart.resize(decimals);

  std::string number = intPart + fracPart;  // all digits, the point implied
  if (roundUp) {
    int i = static_cast<int>(number.size()) - 1;
    for (; i >= 0; --i) {
      if (number[i] == '9') {
        number[i] = '0';
      } else {
        ++number[i];
        break;
      }
    }
    if (i < 0) number.insert(number.begin(), '1');
  }

  // Drop leading zeros of the integer part, keeping one.
  std::size_t intLen = number.size() - decimals;
  std::size_t firstNonZero = 0;
  while (firstNonZero + 1 < intLen && number[firstNonZero] == '0') ++firstNonZero;
  number.erase(0, firstNonZero);
  intLen -= firstNonZero;

  std::string out;
  // A value that rounds to zero is written without a sign: "-0,00" would
  // only puzzle a reader of the log.
  const bool allZero = number.find_first_not_of('0') == std::string::npos;
  if (negative && !allZero) out += '-';
  out += number.substr(0, intLen);
  if (decimals > 0) {
    out += separator;
    out += number.substr(intLen);
  }
  return out;
}

std::string Format(const std::string& fmt, const FmtArgs& args) {
  std::string out;
  out.reserve(fmt.size() + 16);
  std::size_t next = 0;  // index of the next unused argument

  auto takeArg = [&]() -> const FmtArg& {
    if (next >= args.size()) ThrowMissing(fmt);
    return args[next++];
  };

  for (std::size_t i = 0; i < fmt.size(); ++i) {
    const char c = fmt[i];
    if (c != '%') {
      out += c;
      continue;
    }
    if (i + 1 >= fmt.size()) ThrowInvalid(fmt);
    const char conversion = fmt[++i];
    switch (conversion) {
      case '%':
        out += '%';
        break;
      case 's': {
        const FmtArg& arg = takeArg();
        if (arg.kind() != FmtArg::Kind::Text) ThrowInvalid(fmt);
        out += arg.text();
        break;
      }
      case 'd': {
        const FmtArg& arg = takeArg();
        if (arg.kind() != FmtArg::Kind::Integer) ThrowInvalid(fmt);
        out += std::to_string(arg.integer());
        break;
      }
      case 'f': {
        // "%f" without a precision writes two decimals.
        const FmtArg& arg = takeArg();
        if (arg.kind() != FmtArg::Kind::Float) ThrowInvalid(fmt);
        out += FormatFixed(arg.real(), 2, platform::DecimalSeparator());
        break;
      }
      case '.': {
        // "%.Nf": one or two digits of precision, then 'f'.
        std::size_t j = i + 1;
        int decimals = 0;
        int digitCount = 0;
        while (j < fmt.size() && fmt[j] >= '0' && fmt[j] <= '9' && digitCount < 2) {
          decimals = decimals * 10 + (fmt[j] - '0');
          ++digitCount;
          ++j;
        }
        if (digitCount == 0 || j >= fmt.size() || fmt[j] != 'f' || decimals > kMaxDecimals) {
          ThrowInvalid(fmt);
        }
        const FmtArg& arg = takeArg();
        if (arg.kind() != FmtArg::Kind::Float) ThrowInvalid(fmt);
        out += FormatFixed(arg.real(), decimals, platform::DecimalSeparator());
        i = j;
        break;
      }
      default:
        ThrowInvalid(fmt);
    }
  }
  // Arguments left over are ignored, as the log callers rely on.
  return out;
}

std::string PrintableText(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    const unsigned char u = static_cast<unsigned char>(c);
    if ((u < 32 && u != '\t') || u == 127) c = '?';
  }
  return out;
}
