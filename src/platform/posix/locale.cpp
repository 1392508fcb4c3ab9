// The user's regional separators, read from the locale the environment names
// (LANG, LC_ALL, LC_TIME, LC_NUMERIC) without changing the process's own
// locale, which other threads may be using.
#include "platform/locale.h"

#include <langinfo.h>
#include <locale.h>

#include <cctype>
#include <cstring>

namespace platform {

const char kIDiaeresis[] = "\xC3\xAF";

namespace {

// Owns a locale object made by newlocale.
struct UserLocale {
  locale_t loc;
  UserLocale() : loc(newlocale(LC_ALL_MASK, "", static_cast<locale_t>(0))) {
    // A broken or unknown locale name in the environment must not leave us
    // without answers: fall back to the portable "C" locale.
    if (loc == static_cast<locale_t>(0))
      loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  }
  ~UserLocale() {
    if (loc != static_cast<locale_t>(0)) freelocale(loc);
  }
  UserLocale(const UserLocale&) = delete;
  UserLocale& operator=(const UserLocale&) = delete;
};

// The first byte of a strftime pattern that is not part of a conversion and
// not a letter or digit, e.g. '.' in "%d.%m.%Y". Multibyte separators cannot
// be told as one character and give the fallback.
char SeparatorFromFormat(const char* fmt, char fallback) {
  if (fmt == nullptr) return fallback;
  for (const char* p = fmt; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '%') {
      // Skip the conversion, including E/O modifiers such as "%Ey".
      ++p;
      if (*p == 'E' || *p == 'O') ++p;
      if (*p == '\0') break;
      continue;
    }
    if (c >= 0x80) return fallback;
    if (std::isalnum(c)) continue;
    return static_cast<char>(c);
  }
  return fallback;
}

}  // namespace

char DateSeparator() {
  UserLocale l;
  if (l.loc == static_cast<locale_t>(0)) return '/';
  return SeparatorFromFormat(nl_langinfo_l(D_FMT, l.loc), '/');
}

char TimeSeparator() {
  UserLocale l;
  if (l.loc == static_cast<locale_t>(0)) return ':';
  return SeparatorFromFormat(nl_langinfo_l(T_FMT, l.loc), ':');
}

char DecimalSeparator() {
  UserLocale l;
  if (l.loc == static_cast<locale_t>(0)) return '.';
  const char* radix = nl_langinfo_l(RADIXCHAR, l.loc);
  if (radix == nullptr || std::strlen(radix) != 1) return '.';
  return radix[0];
}

}  // namespace platform
