// Backup and replace: puts a downloaded and checked companion tool in the
// place of the installed one, keeping the last good copy as a backup.
#pragma once

#include <string>

namespace companion {

// How an install ended. Each way is logged where it happens.
enum class InstallResult {
  Installed,      // the download is the companion now (backed up or not)
  BackupFailed,   // the old companion could not be backed up: left as it was
  ReplaceFailed,  // the atomic replace failed: the old companion is whole
};

// Replaces `fileName` by the download in `temp`. The old file goes to
// `fileName`.bak first, unless it is no whole program. Raises nothing. On a
// failure the download stays in `temp`.
InstallResult InstallDownload(const std::string& fileName, const std::string& temp);

}  // namespace companion
