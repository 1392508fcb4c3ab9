// Where a release lies on the update server: the paths the loader asks for
// (see connection/u_InternetTester and companion/update_flow), relative to
// the server's base address and to the web root that serves it.
#pragma once

namespace publish {

// The connection test's HEAD.
constexpr char kProbePath[] = "software/versie.txt";
// The reachability file the loader fetches before a download.
constexpr char kReachabilityPath[] = "software/sarvo/versie.txt";
// The companion tool and its detached signature.
constexpr char kCompanionPath[] = "software/sarvo/sarvo2006.exe";
constexpr char kSignatureSuffix[] = ".sig";

}  // namespace publish
