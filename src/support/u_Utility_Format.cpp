// Clock text for durations (TUtility::FormatDuration).
#include <string>

#include "support/u_Utility.h"

namespace {

// Decimal, padded on the left with "0" to `width`; a longer number is kept
// whole.
std::string Padded(std::uint32_t value, std::size_t width) {
  std::string s = std::to_string(value);
  if (s.size() < width) s.insert(0, width - s.size(), '0');
  return s;
}

}  // namespace

std::string TUtility::FormatDuration(std::uint32_t milliseconds) {
  const std::uint32_t s = milliseconds / 1000;
  const std::uint32_t mmm = milliseconds % 1000;
  const std::uint32_t h = s / 3600;
  const std::uint32_t mm = (s % 3600) / 60;
  const std::uint32_t ss = s % 60;
  // Hours are not limited to a day: the widest value, 2^32 - 1 ms, reads
  // 1193:02:47.295.
  return Padded(h, 1) + ":" + Padded(mm, 2) + ":" + Padded(ss, 2) + "." + Padded(mmm, 3);
}
