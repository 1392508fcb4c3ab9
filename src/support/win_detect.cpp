// TWinDetect: the Windows version tests and the record they read.
#include "support/win_detect.h"

#include <utility>

namespace {

// Test hook. Set and read on the GUI thread only.
std::function<platform::OsVersion()>& OsVersionSource() {
  static std::function<platform::OsVersion()> source;
  return source;
}

}  // namespace

// A fresh record on every call: the tests keep no state.
platform::OsVersion TWinDetect::Version() {
  const auto& source = OsVersionSource();
  return source ? source() : platform::GetOsVersion();
}

bool TWinDetect::IsWin7() {
  const platform::OsVersion v = Version();
  // Each part is compared on its own: 10.0 has minor version 0 and therefore
  // counts as "not 7" (IsVista answers for it, so the verb is the same).
  // Only the NT family knows elevation requests.
  return v.major >= 6 && v.minor >= 1 && v.build >= 7600 && v.platformId == platform::kPlatformIdNt;
}

bool TWinDetect::IsVista() {
  const platform::OsVersion v = Version();
  return v.major >= 6 && v.platformId == platform::kPlatformIdNt && !IsWin7();
}

void TWinDetect::SetOsVersionSourceForTesting(std::function<platform::OsVersion()> source) {
  OsVersionSource() = std::move(source);
}
