// "kestro-publish check": asks a live update server what a loader would ask,
// with the loader's own HTTP client, limits, proxy and trust, and says point
// by point whether a loader would install and start the release it offers.
#pragma once

#include <cstdio>
#include <string>

#include "platform/executable.h"

namespace publish {

struct CheckOptions {
  std::string url;        // the server's base address, as KESTRO_UPDATE_SERVER holds it
  std::string key;        // PEM file with the public key; empty: no signature check
  std::string companion;  // the file the server should serve; empty: not compared
  platform::ProgramFormat format = platform::ProgramFormat::Windows;
};

// Prints the table to `out`. 0 when a loader would install and start the
// release; 1 when any point fails; 2 when the options cannot be used (a key
// or companion file that cannot be read), with one line on `err`.
int RunCheck(const CheckOptions& options, std::FILE* out, std::FILE* err);

}  // namespace publish
