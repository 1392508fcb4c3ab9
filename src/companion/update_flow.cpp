// The companion tool's update-and-start flow.
#include "companion/update_flow.h"

#include <cstdint>
#include <memory>
#include <string>

#include "companion/SynchedThreads.h"
#include "companion/companion_run.h"
#include "companion/download.h"
#include "companion/install.h"
#include "companion/refused_release.h"
#include "companion/size_check.h"
#include "companion/u_SarvoPrep.h"
#include "companion/update_lock.h"
#include "connection/UpdateServer.h"
#include "connection/update_server_layout.h"
#include "platform/file_lock.h"
#include "platform/files.h"
#include "support/debug_log.h"
#include "support/path_text.h"
#include "support/u_Utility.h"

const char kDownloadingText[] =
    "Een moment geduld a.u.b., er worden nieuwe applicatie onderdelen gedownload.";

namespace companion {

namespace {

const char* const kModeAfterDownload = "/AUTO /INIT";
const char* const kModeOtherwise = "/AUTO";

// How the update of a companion that is missing or differs from the
// server's copy ended.
enum class UpdateOutcome {
  NotAttempted,  // switched off, refused before, no answer, or the lock held
                 // too long: the companion at hand is started
  UpToDate,      // another loader brought it up to date meanwhile
  Failed,        // the download failed: nothing is started
  Installed,     // the download is the companion now
  NotInstalled,  // fetched and checked, but its backup or replace failed: the
                 // companion at hand, whole, is started as without an update
};

// The update; `check` is the size check that found the companion missing or
// different, taken again (and handed back) where another loader may have
// changed the companion meanwhile. `sizeAtCheck` is the local size that
// check compared.
UpdateOutcome Update(const UpdatePlaces& places, const std::string& url, std::int64_t sizeAtCheck,
                     SizeCheck& check, const std::function<void(const std::string&)>& status) {
  const std::string& path = places.companion;
  if (platform::FileExists(places.noUpdateMarker)) return UpdateOutcome::NotAttempted;
  if (ReleaseWasRefused(*GetSarvoSettings(), path, {check.serverSize, check.validator})) {
    return UpdateOutcome::NotAttempted;
  }
  status(kDownloadingText);
  if (!ServerAvailable(UpdateServerUrl(update_server::kReachabilityPath))) {
    return UpdateOutcome::NotAttempted;
  }
  // Held from before the download until the install is done, so no two
  // loaders of this folder ever write the companion's files at once.
  platform::FileLock lock;
  const UpdateLock taken = TakeUpdateLock(lock, UpdateLockPath(path));
  if (taken == UpdateLock::TimedOut) return UpdateOutcome::NotAttempted;
  // After a wait for another loader, or when the companion changed since it
  // was compared, that loader has most likely just installed the server's
  // copy: compare again rather than fetch it twice. A second size check may
  // bring a newer declared size.
  const bool compareAgain =
      taken == UpdateLock::AfterWaiting ||
      (taken == UpdateLock::AtOnce && TUtility::GetFileSize(path) != sizeAtCheck);
  if (compareAgain && platform::FileExists(path)) {
    check = CheckSize(path, url);
    if (check.upToDate) return UpdateOutcome::UpToDate;
  }
  // Fetched, checked and installed on a worker, while this thread keeps the
  // window alive.
  UpdateOutcome outcome = UpdateOutcome::Failed;
  const std::int64_t serverSize = check.serverSize;
  const std::string serverValidator = check.validator;
  RunWaitThread([&outcome, &url, &path, serverSize, &serverValidator] {
    Download download = FetchAndVerify(url, path, serverSize, serverValidator);
    if (download.outcome != FetchOutcome::Verified) return;
    outcome = InstallDownload(path, download) == InstallResult::Installed
                  ? UpdateOutcome::Installed
                  : UpdateOutcome::NotInstalled;
  });
  return outcome;
}

// The installed release as the server named it: its length, or the file's
// own when the server declared none (the download was checked against it),
// and its validator.
ReleaseIdentity InstalledRelease(const SizeCheck& check, const std::string& path) {
  const std::int64_t size = check.serverSize >= 0 ? check.serverSize : TUtility::GetFileSize(path);
  return {size, check.validator};
}

}  // namespace

void UpdateAndStart(const UpdatePlaces& places,
                    const std::function<void(const std::string& text)>& status) {
  const std::string& path = places.companion;
  TDebug::Log("Checking Sarvo version with server", "");

  const std::string exeUrl = UpdateServerUrl(update_server::kCompanionPath);
  const std::int64_t sizeAtCheck = TUtility::GetFileSize(path);
  SizeCheck check;
  // The size is compared only when there is a companion to compare.
  if (platform::FileExists(path)) check = CheckSize(path, exeUrl);
  UpdateOutcome outcome = UpdateOutcome::UpToDate;
  if (!check.upToDate) {
    const std::string versionBefore = TUtility::ReadFileVersion(path);
    outcome = Update(places, exeUrl, sizeAtCheck, check, status);
    status("");
    const std::string versionAfter = TUtility::ReadFileVersion(path);
    if (versionAfter != versionBefore) {
      TDebug::LogFmt("%s is geupdate van v%s naar v%s",
                     {ExtractFileName(path), versionBefore, versionAfter}, "");
    }
  } else {
    status("");
  }

  std::shared_ptr<ISarvoSettings> settings = GetSarvoSettings();
  settings->SetState(ISarvoSettings::kNoStart);
  switch (outcome) {
    case UpdateOutcome::Installed:
      StartInstalledCompanion(*settings, path, kModeAfterDownload, InstalledRelease(check, path));
      break;
    case UpdateOutcome::NotAttempted:
    case UpdateOutcome::UpToDate:
    case UpdateOutcome::NotInstalled:
      // A download that could not be installed left the companion at hand as
      // it was: it starts as without an update.
      StartCompanion(*settings, path, kModeOtherwise);
      break;
    case UpdateOutcome::Failed:
      // Nothing is started and "Params" keeps whatever it held.
      break;
  }
}

}  // namespace companion
