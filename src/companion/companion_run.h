// Start and watch: starts the companion tool in a start mode recorded in the
// settings store, and waits until no companion process runs any more.
#pragma once

#include <cstdint>
#include <string>

#include "companion/refused_release.h"
#include "companion/u_SarvoPrep.h"

namespace companion {

// Returns when no process with a companion executable name runs any more in
// the caller's session, handling the application's GUI messages meanwhile
// (GUI thread). A companion that is not running costs no wait at all.
void WaitForCompanionToClose();

// Records the start mode `mode`, starts the companion `path`, waits until no
// companion process is left and clears the start mode again.
void StartCompanion(ISarvoSettings& settings, const std::string& path, const std::string& mode);

// StartCompanion for a companion that this run has just installed: when it
// cannot start, its backup is put back and started in the same mode, and
// the release is kept as refused.
void StartInstalledCompanion(ISarvoSettings& settings, const std::string& path,
                             const std::string& mode, const ReleaseIdentity& release);

}  // namespace companion
