// Where a release lies on the update server. The loader asks for these paths
// on the server's base address; kestro-publish lays a release out under the
// web root that serves them and asks for them as a loader would. Both take
// them from here, so a release is always laid out where loaders look.
#pragma once

namespace update_server {

// Paths from the server's root, as the loader appends them to the base
// address.
// The connection test's HEAD.
constexpr char kProbePath[] = "/software/versie.txt";
// The reachability file the loader fetches before a download.
constexpr char kReachabilityPath[] = "/software/sarvo/versie.txt";
// The companion tool, and its detached signature beside it: the same path
// with this suffix.
constexpr char kCompanionPath[] = "/software/sarvo/sarvo2006.exe";
constexpr char kSignatureSuffix[] = ".sig";

// One of the paths above relative to the web root that serves it: without
// its leading "/".
constexpr const char* InWebRoot(const char* serverPath) { return serverPath + 1; }

}  // namespace update_server
