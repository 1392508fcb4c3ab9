// The user's regional separators, one character each.
//
// Contract: any thread, non-blocking, never throws. Where the user's settings
// give nothing usable the answers are '/', ':' and '.'.
#pragma once

namespace platform {

char DateSeparator();
char TimeSeparator();
char DecimalSeparator();

}  // namespace platform
