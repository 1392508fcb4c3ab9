// Backup and replace of the companion tool's executable.
#include "companion/install.h"

#include "platform/executable.h"
#include "platform/files.h"
#include "support/u_Utility.h"

namespace companion {

namespace {

// The backup of an installed companion that is a whole program. False when
// it could not be made; a failure to remove an older backup is only logged.
bool BackUp(const std::string& fileName, const std::string& backup) {
  if (platform::FileExists(backup) && !platform::FileDelete(backup)) {
    TDebug::LogFmt("Backup maken van %s naar %s is mislukt!", {fileName, backup}, "");
    TDebug::Log("Update zal doorgaan", "");
  }
  const bool backupGone = !platform::FileExists(backup);
  if (platform::FileCopy(fileName, backup, false)) return true;
  TDebug::LogFmt("Backup maken van \"%s\" naar \"%s\" is mislukt!", {fileName, backup}, "");
  // A copy that stopped part-way (a full disk) leaves a piece that looks like
  // a backup; it goes, unless it is the old backup that could not be removed
  // above.
  if (backupGone) platform::FileDelete(backup);
  return false;
}

}  // namespace

InstallResult InstallDownload(const std::string& fileName, const std::string& temp) {
  const std::string backup = fileName + ".bak";
  // On a first installation there is nothing to back up; the download is
  // installed all the same rather than left behind as a temporary file.
  if (platform::FileExists(fileName)) {
    if (!platform::IsWholeExecutable(fileName)) {
      // A broken companion (a piece left by an older loader, say) would push
      // the last good copy out of the one backup there is.
      TDebug::LogFmt("Backup overgeslagen: %s is geen geldig programma", {fileName}, "");
    } else if (!BackUp(fileName, backup)) {
      return InstallResult::BackupFailed;
    }
  }
  // One atomic replace instead of a copy over the executable: whenever the
  // loader stops, the companion is the whole old or the whole new program.
  if (!platform::ReplaceFileAtomically(temp, fileName)) {
    TDebug::LogFmt("Copieren van \"%s\" naar \"%s\" is mislukt!", {temp, fileName}, "");
    return InstallResult::ReplaceFailed;
  }
  return InstallResult::Installed;
}

}  // namespace companion
