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

// Exit codes:
//   0  published;
//   1  a failure before anything was put in place (a write that failed, a
//      copy of the live files that could not be kept aside): the root holds
//      the previous release as it was;
//   2  refused before anything was put in place: no whole program, an
//      unusable key, a root that cannot be written, or another release that
//      is being published into the same root at this moment;
//   3  a failure after the first file was put in place (a file that could
//      not be replaced or removed, a signature on disk that does not
//      verify): the previous release was put back as it was;
//   4  as 3, but the previous release could not be wholly put back; the
//      lines on `err` name each file that is wrong and where its previous
//      version was kept.
// One line per file written goes to `out`; refusals and failures go to
// `err`, one line each, and with 3 and 4 a last line on the restore.
int RunRelease(const ReleaseOptions& options, std::FILE* out, std::FILE* err);

}  // namespace publish
