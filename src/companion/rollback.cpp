// Telling a companion that cannot start, and putting its backup back.
#include "companion/rollback.h"

#include "companion/install.h"
#include "companion/lock_retry.h"
#include "companion/update_lock.h"
#include "platform/error_codes.h"
#include "platform/executable.h"
#include "platform/file_lock.h"
#include "platform/files.h"
#include "platform/process.h"
#include "support/Format.h"

namespace companion {

bool CouldNotStart(const TUtility::TStartWatch& watch, std::string& why) {
  if (watch.startError != 0) {
    if (platform::FailureFromCode(static_cast<std::uint32_t>(watch.startError)) ==
        platform::Failure::Cancelled) {
      return false;
    }
    why = std::to_string(watch.startError) + ": " +
          TUtility::SysErrorMessage(static_cast<std::uint32_t>(watch.startError));
    return true;
  }
  if (watch.ranMs > kFirstStartWatchMs) return false;
  if (!platform::EndedAsUnstartable(watch.end, watch.errorOutput, why)) return false;
  // The reason may quote the program's own error output.
  why = PrintableText(why);
  return true;
}

RollbackResult RollBack(const std::string& companion) {
  const std::string backup = companion + ".bak";
  // The install backs up only whole programs, but the backup may have been
  // damaged since; a broken one would be no better than the new release.
  if (!platform::FileExists(backup) || !platform::IsWholeExecutable(backup)) {
    return RollbackResult::NoBackup;
  }
  // Held until the replace is done, so no other loader writes the temporary
  // file or the companion meanwhile; a lock file that cannot be used does
  // not stop the rollback, as it does not stop the install.
  platform::FileLock lock;
  const std::string lockPath = UpdateLockPath(companion);
  if (lock.TryLock(lockPath) == platform::FileLock::Result::Held) {
    TDebug::LogFmt(
        "Sarvo wordt bijgewerkt door een andere loader (%s), de vorige versie "
        "wordt niet teruggezet",
        {lockPath}, "");
    return RollbackResult::LockHeld;
  }
  // The backup itself stays: it is still the last good companion. Its copy
  // goes where the install keeps its downloads, so the one replace below is
  // the same step as the install's.
  const std::string temp = ChangeFileExt(companion, ".tmp");
  platform::FileDelete(temp);
  if (!platform::FileCopy(backup, temp, false)) {
    TDebug::LogFmt("Copieren van \"%s\" naar \"%s\" is mislukt!", {backup, temp}, "");
    platform::FileDelete(temp);
    return RollbackResult::Failed;
  }
  if (!ReplaceAtomically(temp, companion, GuiThreadPacing())) {
    TDebug::LogFmt("Copieren van \"%s\" naar \"%s\" is mislukt!", {temp, companion}, "");
    platform::FileDelete(temp);
    return RollbackResult::Failed;
  }
  return RollbackResult::RolledBack;
}

}  // namespace companion
