// The user's regional separators from the Windows regional settings.
#include "platform/locale.h"

#include <windows.h>

namespace platform {

const char kIDiaeresis[] = "\xEF";

namespace {

// The first character of a locale string, or `fallback` when the setting
// cannot be read or is empty.
char FirstCharOf(LCTYPE type, char fallback) {
  char buf[16] = {};
  int n = ::GetLocaleInfoA(LOCALE_USER_DEFAULT, type, buf, sizeof(buf));
  if (n <= 0 || buf[0] == '\0') return fallback;
  return buf[0];
}

}  // namespace

char DateSeparator() { return FirstCharOf(LOCALE_SDATE, '/'); }
char TimeSeparator() { return FirstCharOf(LOCALE_STIME, ':'); }
char DecimalSeparator() { return FirstCharOf(LOCALE_SDECIMAL, '.'); }

}  // namespace platform
