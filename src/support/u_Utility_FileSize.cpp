// TUtility::FormatFileSize: a byte count written with a unit for the log.
#include <cstdint>
#include <string>

#include "platform/locale.h"
#include "support/Format.h"
#include "support/u_Utility.h"

std::string TUtility::FormatFileSize(std::int32_t size) {
  // The units are powers of 1024, and each threshold is exclusive, so
  // exactly 1024 bytes still read as bytes. The decimal separator follows
  // the user's regional settings, as everything else the user reads does.
  const char sep = platform::DecimalSeparator();
  if (size > 1073741824) return FormatFixed(size / 1073741824.0, 1, sep) + " GB";
  if (size > 1048576) return FormatFixed(size / 1048576.0, 1, sep) + " MB";
  if (size > 1024) return FormatFixed(size / 1024.0, 1, sep) + " KB";
  return std::to_string(size) + " b";
}
