// The user's regional separators, one character each, and the letters of
// the Dutch texts beyond ASCII in the bytes of the platform's text.
//
// Contract: any thread, non-blocking, never throws. Where the user's settings
// give nothing usable the answers are '/', ':' and '.'.
#pragma once

namespace platform {

// "ï": the ANSI code page of a Dutch Windows desktop (1252) on Windows, UTF-8
// (the locale's bytes) on the Linux port.
extern const char kIDiaeresis[];

char DateSeparator();
char TimeSeparator();
char DecimalSeparator();

}  // namespace platform
