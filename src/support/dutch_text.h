// Letters of the Dutch texts beyond ASCII, in the bytes of each platform's
// text: the ANSI code page of a Dutch Windows desktop (1252) in the Win32
// build, UTF-8 (the locale's bytes) on the Linux port. Written next to the
// rest of a literal: "ge" KESTRO_I_DIAERESIS "nstalleerd".
#pragma once

#ifdef _WIN32
#define KESTRO_I_DIAERESIS "\xEF"
#else
#define KESTRO_I_DIAERESIS "\xC3\xAF"
#endif
