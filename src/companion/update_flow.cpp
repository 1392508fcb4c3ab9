// The companion tool's update-and-start flow.
#include "companion/update_flow.h"

#include <cstdint>
#include <memory>
#include <string>

#include "companion/SynchedThreads.h"
#include "companion/companion_run.h"
#include "companion/refused_release.h"
#include "companion/u_SarvoChecker.h"
#include "companion/u_SarvoPrep.h"
#include "companion/update_lock.h"
#include "connection/UpdateServer.h"
#include "connection/update_server_layout.h"
#include "platform/file_lock.h"
#include "platform/files.h"
#include "support/u_Utility.h"

namespace companion {

namespace {

const char* const kModeAfterDownload = "/AUTO /INIT";
const char* const kModeOtherwise = "/AUTO";

// The update of a companion that is missing or differs from the server's
// copy. `status` arrives prepared for the download; it stays "not attempted"
// (the companion at hand is started) when the update is switched off, the
// server does not answer or another loader keeps the lock too long.
// `sizeAtCheck` and `serverSize` are the local and the declared size of the
// first comparison.
void Update(SarvoTesterT& tester, const UpdatePlaces& places, std::int64_t sizeAtCheck,
            std::int32_t serverSize, downloadStatusT& status) {
  const std::string& path = places.companion;
  if (platform::FileExists(places.noUpdateMarker)) return;
  if (ReleaseWasRefused(*GetSarvoSettings(), path, {serverSize, status.Validator})) return;
  tester.DoStatus(kDownloadingText);
  if (!tester.ServerAvailable(UpdateServerUrl(update_server::kReachabilityPath))) return;
  // Held from before the download until the install is done, so no two
  // loaders of this folder ever write the companion's files at once.
  platform::FileLock lock;
  const UpdateLock taken = TakeUpdateLock(lock, UpdateLockPath(path));
  if (taken == UpdateLock::TimedOut) return;
  // After a wait for another loader, or when the companion changed since it
  // was compared, that loader has most likely just installed the server's
  // copy: compare again rather than fetch it twice.
  const bool compareAgain =
      taken == UpdateLock::AfterWaiting ||
      (taken == UpdateLock::AtOnce && TUtility::GetFileSize(path) != sizeAtCheck);
  if (compareAgain && platform::FileExists(path) &&
      tester.IsUpToDate(path, status.URL, serverSize, &status.Validator)) {
    status.Value = downloadStatusT::kUpToDate;
    return;
  }
  // A second size check may have brought a newer declared size.
  status.ServerSize = serverSize;
  RunWaitThread([&tester, &status] { tester.DownloadUpdate(&status); });
}

// The length the server gave for the installed release; the file's own when
// the server declared none, since the download was checked against it.
std::uint32_t ReleaseSize(const downloadStatusT& status) {
  const std::int64_t size =
      status.ServerSize >= 0 ? status.ServerSize : TUtility::GetFileSize(status.FileName);
  return static_cast<std::uint32_t>(size);
}

}  // namespace

void UpdateAndStart(SarvoTesterT& tester, const UpdatePlaces& places) {
  const std::string& path = places.companion;
  TDebug::Log("Checking Sarvo version with server", "");

  downloadStatusT status(downloadStatusT::kNotAttempted);
  const std::string exeUrl = UpdateServerUrl(update_server::kCompanionPath);
  const std::int64_t sizeAtCheck = TUtility::GetFileSize(path);
  std::int32_t serverSize = -1;
  std::string validator;
  const bool upToDate =
      platform::FileExists(path) && tester.IsUpToDate(path, exeUrl, serverSize, &validator);
  std::string versionBefore;
  if (upToDate) {
    status.Value = downloadStatusT::kUpToDate;
  } else {
    status.URL = exeUrl;
    status.ServerSize = serverSize;
    status.Validator = validator;
    status.FileName = path;
    versionBefore = TUtility::ReadFileVersion(path);
    Update(tester, places, sizeAtCheck, serverSize, status);
  }
  tester.DoStatus("");

  if (!upToDate) {
    const std::string versionAfter = TUtility::ReadFileVersion(path);
    if (versionAfter != versionBefore) {
      TDebug::LogFmt("%s is geupdate van v%s naar v%s",
                     {ExtractFileName(path), versionBefore, versionAfter}, "");
    }
  }

  std::shared_ptr<ISarvoSettings> settings = GetSarvoSettings();
  settings->SetState(ISarvoSettings::kNoStart);
  if (status.Value == downloadStatusT::kDownloaded && status.Installed) {
    StartInstalledCompanion(*settings, status.FileName, kModeAfterDownload,
                            {ReleaseSize(status), status.Validator});
  } else if (status.Value >= downloadStatusT::kUpToDate ||
             status.Value == downloadStatusT::kDownloaded) {
    // A download that could not be installed left the companion at hand as
    // it was: it starts as without an update.
    StartCompanion(*settings, path, kModeOtherwise);
  }
  // A failed download: nothing is started and "Params" keeps whatever it
  // held.
}

}  // namespace companion
