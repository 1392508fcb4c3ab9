// Backup and replace of the companion tool's executable.
#include "companion/install.h"

#include <functional>

#include "companion/lock_retry.h"
#include "platform/executable.h"
#include "platform/files.h"
#include "platform/locale.h"
#include "platform/process.h"
#include "support/debug_log.h"

namespace companion {

namespace {

// `operation` on `path` repeated past a brief lock, with its line when the
// repeats were needed. Who held `watched`, the file a scanner is most likely
// to hold, is asked while it is still held.
bool PastBriefLocks(const std::string& path, const std::string& watched,
                    const std::function<bool(platform::Failure*)>& operation,
                    const RetryPacing& pacing) {
  std::string heldBy;
  bool asked = false;
  const RetryOutcome outcome = RetryPastBriefLocks(
      [&](platform::Failure* failure) {
        if (operation(failure)) return true;
        if (!asked && IsBriefLock(*failure)) {
          asked = true;
          heldBy = platform::ProgramsHoldingFile(watched);
        }
        return false;
      },
      pacing);
  LogRetriedSuccess(path, outcome, heldBy);
  return outcome.ok;
}

// The backup of an installed companion that is a whole program. False when
// it could not be made; a failure to remove an older backup is only logged.
bool BackUp(const std::string& fileName, const std::string& backup) {
  if (platform::FileExists(backup) && !platform::FileDelete(backup)) {
    TDebug::LogFmt("Backup maken van %s naar %s is mislukt!", {fileName, backup}, "");
    TDebug::Log("Update zal doorgaan", "");
  }
  const bool backupGone = !platform::FileExists(backup);
  const bool copied = PastBriefLocks(
      backup, fileName,
      [&](platform::Failure* failure) {
        // On the disk before the replace: after a power cut the backup must
        // be whole, or there is nothing to roll back to.
        return platform::FileCopy(fileName, backup, false, failure) &&
               platform::FlushFileToDisk(backup, failure);
      },
      WorkerPacing());
  if (copied) return true;
  TDebug::LogFmt("Backup maken van \"%s\" naar \"%s\" is mislukt!", {fileName, backup}, "");
  // A copy that stopped part-way (a full disk) leaves a piece that looks like
  // a backup; it goes, unless it is the old backup that could not be removed
  // above.
  if (backupGone) platform::FileDelete(backup);
  return false;
}

InstallResult InstallHeld(const std::string& fileName, Download& download) {
  const std::string& temp = download.temp;
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
  // It goes through the download's own handle, so what takes the name is
  // what was checked.
  platform::Failure last = platform::Failure::None;
  const bool replaced = PastBriefLocks(
      fileName, fileName,
      [&](platform::Failure* failure) {
        const bool ok = download.file.PutInPlaceOf(fileName, failure);
        last = *failure;
        return ok;
      },
      WorkerPacing());
  if (!replaced) {
    TDebug::LogFmt("Copieren van \"%s\" naar \"%s\" is mislukt!", {temp, fileName}, "");
    if (last == platform::Failure::ChangedElsewhere) {
      TDebug::LogFmt(
          "Oorzaak: %s is na de controle veranderd door een ander programma, er is "
          "niets ge%snstalleerd",
          {temp, platform::kIDiaeresis}, "");
    }
    return InstallResult::ReplaceFailed;
  }
  if (!download.signedByKey) {
    TDebug::Log(std::string("Update zonder handtekening ge") + platform::kIDiaeresis +
                    "nstalleerd (geen sleutel ingesteld)",
                "");
  }
  return InstallResult::Installed;
}

}  // namespace

InstallResult InstallDownload(const std::string& companion, Download& download) {
  const InstallResult result = InstallHeld(companion, download);
  // Let go at once: the companion is started next, and on Windows a handle
  // without sharing would keep it from running.
  download.file.Close();
  return result;
}

bool ReplaceAtomically(const std::string& from, const std::string& to, const RetryPacing& pacing) {
  return PastBriefLocks(
      to, to,
      [&](platform::Failure* failure) {
        return platform::ReplaceFileAtomically(from, to, failure);
      },
      pacing);
}

}  // namespace companion
