// Backup and replace: puts a downloaded and checked companion tool in the
// place of the installed one, keeping the last good copy as a backup.
#pragma once

#include <string>

#include "companion/download.h"
#include "companion/lock_retry.h"

namespace companion {

// How an install ended. Each way is logged where it happens.
enum class InstallResult {
  Installed,      // the download is the companion now (backed up or not)
  BackupFailed,   // the old companion could not be backed up: left as it was
  ReplaceFailed,  // the atomic replace failed: the old companion is whole
};

// Replaces `companion` by the verified `download`: exactly the bytes its
// handle holds are installed. The old file goes to `companion`.bak first,
// unless it is no whole program. The backup copy and the replace are
// repeated past a brief lock (a scanner's), for at most ten seconds each. A
// download that another writer changed meanwhile (or whose name now leads
// elsewhere) is not installed: ReplaceFailed, with a line that says why. An
// install without a key's signature says so in the log. Raises nothing. On
// a failure the download stays in its temporary file. Runs on the download
// worker.
InstallResult InstallDownload(const std::string& companion, Download& download);

// Puts `from` in place of `to` in one atomic replace, repeated past a brief
// lock on the thread's own `pacing`; logs the repeats when they were needed.
bool ReplaceAtomically(const std::string& from, const std::string& to, const RetryPacing& pacing);

}  // namespace companion
