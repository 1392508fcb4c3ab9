// "kestro-publish release": lays a companion release out in a web root, signs
// it and checks the signature on disk with the loader's own check.
#pragma once

#include <cstdio>
#include <string>

#include "platform/executable.h"

namespace publish {

struct ReleaseOptions {
  std::string root;       // the web root that serves the update server's paths
  std::string companion;  // the companion tool to publish
  std::string key;        // PEM file with the private key; empty: unsigned
  std::string version;    // text of the reachability file; empty: the file version
  platform::ProgramFormat format = platform::ProgramFormat::Windows;
};

// Exit codes: 0 published; 2 refused before anything was put in place (no
// whole program, an unusable key, a root that cannot be written); 1 a
// failure while writing or in the check afterwards. One line per file
// written goes to `out`, refusals and failures (one line each) to `err`.
int RunRelease(const ReleaseOptions& options, std::FILE* out, std::FILE* err);

}  // namespace publish
