// The last line of defence: a companion that this run installed and that
// cannot start is replaced by the last good one, its backup.
#pragma once

#include <cstdint>
#include <string>

#include "companion/u_SarvoPrep.h"
#include "support/u_Utility.h"

namespace companion {

// How long after its start an end with a loader's or a crash's code still
// means the program could not start.
constexpr std::uint32_t kFirstStartWatchMs = 5000;

// True when the start that `watch` saw shows a program that cannot start:
// the shell refused the start, or it ended within kFirstStartWatchMs with a
// code only the system's loader or a crash gives. `why` gets the code with
// its text. A user who declines the request for administrator rights says
// nothing about the program, and an exit with any other code is a normal
// end: the companion may do its work in its automatic mode and end at once.
bool CouldNotStart(const TUtility::TStartWatch& watch, std::string& why);

enum class RollbackResult {
  RolledBack,  // the backup is the companion again; the backup stays
  NoBackup,    // no backup, or one that is no whole program: nothing done
  Failed,      // the replace failed: the companion is as it was
  LockHeld,    // another loader is updating the folder: nothing done (logged)
};

// Puts the backup `companion`.bak back in place of `companion` in one atomic
// replace, through a copy in the install's temporary file, so the companion
// is at every instant the whole new or the whole old program (GUI thread;
// the splash stays alive through the repeats past a brief lock). It holds the
// installation's update lock throughout, as the install does, and does not
// wait for it: while another loader downloads or installs, the files are that
// loader's, and a rollback would undo its work.
RollbackResult RollBack(const std::string& companion);

}  // namespace companion
