// The companion-tool updater's tester: status texts and the wait for the
// companion tool to be closed.
#include "companion/u_SarvoChecker.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "companion/SynchedThreads.h"
#include "companion/UpdateSignature.h"
#include "companion/u_SarvoPrep.h"
#include "connection/IdHTTP.h"
#include "connection/UpdateServer.h"
#include "platform/executable.h"
#include "platform/file_lock.h"
#include "platform/files.h"
#include "platform/gui.h"
#include "platform/sysinfo.h"
#include "support/Exceptions.h"
#include "support/u_Utility.h"

const char kDownloadingText[] =
    "Een moment geduld a.u.b., er worden nieuwe applicatie onderdelen gedownload.";

namespace {

// Every executable name the companion tool has shipped under, in the order
// in which they are looked for. A running process whose name merely contains
// one of them counts too.
const char* const kCompanionNames[] = {
    "Sarvo2006.exe",
    "Sarvo2009.exe",
    "Sarvo2010.exe",
    "Sarvo.exe",
};

constexpr std::uint32_t kPollIntervalMs = 250;

// One update at a time per installation folder: loaders of every user and
// session that share the folder meet on this file beside the companion.
const char* const kUpdateLockSuffix = ".lock";
// How long a loader waits for another loader's update before it starts the
// companion it has, and how often it asks meanwhile.
constexpr std::uint32_t kUpdateLockLimitMs = 10 * 60 * 1000;
constexpr std::uint32_t kUpdateLockPollMs = 100;

std::uint32_t& UpdateLockLimitMs() {
  static std::uint32_t limit = kUpdateLockLimitMs;
  return limit;
}

const char* const kCompanionExe = "sarvo2006.exe";
const char* const kCompanionServerPath = "/software/sarvo/sarvo2006.exe";
const char* const kReachabilityServerPath = "/software/sarvo/versie.txt";
const char* const kNoUpdateMarker = "NoSarvoUpdate.txt";
const char* const kModeAfterDownload = "/AUTO /INIT";
const char* const kModeOtherwise = "/AUTO";
const char* const kDownloadFailedContext =
    "DudozividEreradOdavazevozT.internDownloadUpdater(); Download van bestand is mislukt";

// Records the start mode, starts the companion tool, waits until no
// companion process is left and clears the start mode again.
void StartCompanion(SarvoTesterT& tester, ISarvoSettings& settings, const std::string& path,
                    const std::string& mode) {
  settings.SetState(ISarvoSettings::kStartInProgress);
  settings.SetParams(mode);
  TDebug::LogFmt("Starting %s with \"%s\"", {path, settings.GetParams()}, "");
  const int code = TUtility::ExecuteAndWait(path, "");
  TDebug::LogFmt("## LastErrorCode: %d: %s",
                 {code, TUtility::SysErrorMessage(static_cast<std::uint32_t>(code))}, "");
  tester.WaitForClose();
  settings.SetState(ISarvoSettings::kNoStart);
  settings.SetParams("");
}

enum class UpdateLock {
  AtOnce,        // taken without waiting
  AfterWaiting,  // taken once another loader had finished
  Without,       // the lock file is unusable: the update goes on unguarded
  TimedOut,      // another loader kept it past the limit
};

// Takes the installation's update lock, waiting for another loader's update
// with the splash window alive. A lock file that cannot be made or locked
// (a read-only folder, a file system without locks) must not stop the
// update: the folder has to be writable for the update anyway, and one
// loader alone is the common case.
UpdateLock TakeUpdateLock(platform::FileLock& lock, const std::string& lockPath) {
  const std::uint32_t start = platform::TickCount();
  bool waited = false;
  platform::WakeSignal neverRaised;
  for (;;) {
    std::uint32_t error = 0;
    switch (lock.TryLock(lockPath, &error)) {
      case platform::FileLock::Result::Acquired:
        return waited ? UpdateLock::AfterWaiting : UpdateLock::AtOnce;
      case platform::FileLock::Result::Failed:
        TDebug::LogFmt(
            "Vergrendelen van %s is mislukt (%s), de update gaat zonder vergrendeling door",
            {lockPath, platform::FileErrorText(error)}, "");
        return UpdateLock::Without;
      case platform::FileLock::Result::Held:
        break;
    }
    if (!waited) {
      TDebug::LogFmt("Sarvo wordt al bijgewerkt door een andere loader, wachten op %s", {lockPath},
                     "");
      waited = true;
    }
    if (platform::TickCount() - start >= UpdateLockLimitMs()) {
      TDebug::LogFmt("Wachten op %s duurt te lang, Sarvo wordt niet bijgewerkt", {lockPath}, "");
      return UpdateLock::TimedOut;
    }
    platform::WaitForWakeOrInput(neverRaised, kUpdateLockPollMs);
    platform::ProcessMessages();
  }
}

bool AnyCompanionRunning() {
  for (const char* name : kCompanionNames) {
    if (TUtility::IsProcessRunning(name)) return true;
  }
  return false;
}

}  // namespace

SarvoTesterT::SarvoTesterT(void* /*owner*/) {}

void SarvoTesterT::DoStatus(const std::string& msg) {
  if (OnStatus) OnStatus(this, msg);
}

void SarvoTesterT::SetUpdateLockLimitForTesting(std::uint32_t ms) { UpdateLockLimitMs() = ms; }

void SarvoTesterT::UpdateAndStart() {
  // The module's own folder, without removing a long-path prefix.
  const std::string path =
      IncludeTrailingPathDelimiter(ExtractFilePath(platform::ModuleFileName())) + kCompanionExe;
  TDebug::Log("Checking Sarvo version with server", "");

  auto status = std::make_unique<downloadStatusT>(downloadStatusT::kNotAttempted);
  const std::string exeUrl = UpdateServerUrl(kCompanionServerPath);
  bool updateBranch = false;
  std::string versionBefore;

  const std::int64_t sizeAtCheck = TUtility::GetFileSize(path);
  std::int32_t serverSize = -1;
  if (platform::FileExists(path) && IsUpToDate(path, exeUrl, serverSize)) {
    status->Value = downloadStatusT::kUpToDate;
  } else {
    updateBranch = true;
    status->URL = exeUrl;
    status->ServerSize = serverSize;
    status->FileName = path;
    versionBefore = TUtility::ReadFileVersion(path);
    if (!platform::FileExists(TUtility::AppPath() + kNoUpdateMarker)) {
      DoStatus(kDownloadingText);
      if (ServerAvailable(UpdateServerUrl(kReachabilityServerPath))) {
        // Held from before the download until the install is done, so no
        // two loaders of this folder ever write the companion's files at
        // once.
        platform::FileLock lock;
        const UpdateLock taken = TakeUpdateLock(lock, path + kUpdateLockSuffix);
        // After a wait for another loader, or when the companion changed
        // since it was compared, that loader has most likely just installed
        // the server's copy: compare again rather than fetch it twice.
        const bool compareAgain =
            taken == UpdateLock::AfterWaiting ||
            (taken == UpdateLock::AtOnce && TUtility::GetFileSize(path) != sizeAtCheck);
        if (taken == UpdateLock::TimedOut) {
          // As if the reachability file had not been fetched: the companion
          // at hand is started.
        } else if (compareAgain && platform::FileExists(path) &&
                   IsUpToDate(path, exeUrl, serverSize)) {
          status->Value = downloadStatusT::kUpToDate;
        } else {
          // A second size check may have brought a newer declared size.
          status->ServerSize = serverSize;
          downloadStatusT* const record = status.get();
          RunWaitThread([this, record] { DownloadUpdate(record); });
        }
      }
    }
  }
  DoStatus("");

  if (updateBranch) {
    const std::string versionAfter = TUtility::ReadFileVersion(path);
    if (versionAfter != versionBefore) {
      TDebug::LogFmt("%s is geupdate van v%s naar v%s",
                     {ExtractFileName(path), versionBefore, versionAfter}, "");
    }
  }

  std::shared_ptr<ISarvoSettings> settings = GetSarvoSettings();
  settings->SetState(ISarvoSettings::kNoStart);
  if (status->Value == downloadStatusT::kDownloaded) {
    StartCompanion(*this, *settings, status->FileName, kModeAfterDownload);
  } else if (status->Value >= downloadStatusT::kUpToDate) {
    StartCompanion(*this, *settings, path, kModeOtherwise);
  }
  // A failed download: nothing is started and "Params" keeps whatever it
  // held.
}

bool SarvoTesterT::IsUpToDate(const std::string& path, const std::string& url) {
  std::int32_t serverSize = -1;
  return IsUpToDate(path, url, serverSize);
}

bool SarvoTesterT::IsUpToDate(const std::string& path, const std::string& url,
                              std::int32_t& serverSize) {
  TIdHTTP http;
  serverSize = -1;
  try {
    http.Head(url);
    if (http.ResponseCode() == 200) {
      serverSize = http.ContentLength();
      return http.ContentLength() == TUtility::GetFileSize(path);
    }
    TDebug::LogFmt("Sarvo could not be found @ %s", {url}, "");
    TDebug::Log(
        "Response: \"" + std::to_string(http.ResponseCode()) + ": " + http.ResponseText() + "\"",
        "");
  } catch (const std::exception& e) {
    const ExceptionDescription d = Describe(e);
    TDebug::Log("Exception [" + d.className + "]: " + d.message + "\r\nErrorcode " +
                    std::to_string(http.ResponseCode()) + ", message: " + http.ResponseText(),
                "");
  }
  return false;
}

bool SarvoTesterT::ServerAvailable(const std::string& url) {
  try {
    TIdHTTP http;
    http.Get(url);
    return true;
  } catch (const std::exception&) {
    // Only whether the file could be fetched counts; the failure is silent.
    return false;
  }
}

void SarvoTesterT::DownloadUpdate(downloadStatusT* status) {
  status->Value = downloadStatusT::kFailed;
  const std::string temp = ChangeFileExt(status->FileName, ".tmp");
  // Each step raises on a failure; all of them before the install count as a
  // failed download, which never touches the installed executable.
  try {
    const std::int32_t size = FetchWhole(*status, temp);
    CheckIsProgram(temp);
    // With an update key configured, only a download signed with it goes on
    // to the install; a missing or wrong signature raises here and ends as a
    // failed download, before the backup is touched.
    CheckUpdateSignature(status->URL, temp);
    TDebug::LogFmt("Opgeslagen als %s (%s)", {status->FileName, TUtility::FormatFileSize(size)},
                   "");
    status->Value = downloadStatusT::kDownloaded;
  } catch (const std::exception& e) {
    ReportFailedDownload(&e);
  } catch (...) {
    ReportFailedDownload(nullptr);
  }

  if (status->Value == downloadStatusT::kFailed) {
    if (platform::FileExists(temp)) platform::FileDelete(temp);
    return;
  }
  Install(status->FileName, temp);
}

std::int32_t SarvoTesterT::FetchWhole(const downloadStatusT& status, const std::string& temp) {
  TIdHTTP http;
  platform::FileDelete(temp);
  platform::File file;
  std::uint32_t error = 0;
  if (!file.Open(temp, platform::File::Mode::CreateAlways, platform::File::Share::None, &error)) {
    throw EFCreateError("Cannot create file \"" + temp + "\". " + platform::FileErrorText(error));
  }
  TDebug::LogFmt("Downloaden van %s", {status.URL}, "");
  // A body shorter than its declared length, or a chunked body without its
  // last chunk, raises here, so a cut download never counts as done.
  http.Get(status.URL, file);
  const std::int64_t received = file.Size();
  file.Close();
  // A success status without a body (204 No Content, or an empty file on
  // the server) would install an empty executable over a working one.
  if (received == 0) {
    throw EIdException("Geen inhoud ontvangen voor " + status.URL + " (HTTP " +
                       std::to_string(http.ResponseCode()) + ")");
  }
  // A body without a declared length ends when the connection does, so a
  // cut one looks whole to the HTTP layer; the length that the size check
  // just read from the server tells it.
  if (http.ContentLength() < 0 && status.ServerSize >= 0 && received != status.ServerSize) {
    const std::string counts =
        std::to_string(received) + " of the " + std::to_string(status.ServerSize) + " bytes";
    if (received < status.ServerSize) {
      throw EIdConnClosedGracefully("Connection closed after " + counts +
                                    " the server declared for " + status.URL);
    }
    throw EIdHTTPInvalidResponse("Received " + std::to_string(received) + " bytes instead of " +
                                 std::to_string(status.ServerSize) + " the server declared for " +
                                 status.URL);
  }
  return TUtility::GetFileSize(temp);
}

void SarvoTesterT::CheckIsProgram(const std::string& temp) {
  // A login page of a guest network, an error page with a success status or
  // a piece of a program must never replace the companion tool.
  std::string why;
  if (!platform::IsWholeExecutable(temp, &why)) {
    throw EInvalidExecutable(temp + " is geen geldig programma: " + why);
  }
}

void SarvoTesterT::ReportFailedDownload(const std::exception* e) {
  TUtility::LogException(this, e, kDownloadFailedContext);
  // The report's own lines are the same for every failure; this one says
  // which it was.
  const auto* known = dynamic_cast<const Exception*>(e);
  const std::string className = known != nullptr ? known->ClassName() : "Exception";
  const std::string message = known != nullptr ? known->Message()
                              : e != nullptr   ? e->what()
                                               : "unknown error";
  TDebug::LogFmt("Oorzaak: %s: %s", {className, message}, kDownloadFailedContext);
}

void SarvoTesterT::Install(const std::string& fileName, const std::string& temp) {
  const std::string backup = fileName + ".bak";
  // On a first installation there is nothing to back up; the download is
  // installed all the same rather than left behind as a temporary file.
  if (platform::FileExists(fileName)) {
    if (!platform::IsWholeExecutable(fileName)) {
      // A broken companion (a piece left by an older loader, say) would push
      // the last good copy out of the one backup there is.
      TDebug::LogFmt("Backup overgeslagen: %s is geen geldig programma", {fileName}, "");
    } else {
      if (platform::FileExists(backup) && !platform::FileDelete(backup)) {
        TDebug::LogFmt("Backup maken van %s naar %s is mislukt!", {fileName, backup}, "");
        TDebug::Log("Update zal doorgaan", "");
      }
      const bool backupGone = !platform::FileExists(backup);
      if (!platform::FileCopy(fileName, backup, false)) {
        TDebug::LogFmt("Backup maken van \"%s\" naar \"%s\" is mislukt!", {fileName, backup}, "");
        // A copy that stopped part-way (a full disk) leaves a piece that
        // looks like a backup; it goes, unless it is the old backup that
        // could not be removed above.
        if (backupGone) platform::FileDelete(backup);
        return;
      }
    }
  }
  // One atomic replace instead of a copy over the executable: whenever the
  // loader stops, the companion is the whole old or the whole new program.
  if (!platform::ReplaceFileAtomically(temp, fileName)) {
    TDebug::LogFmt("Copieren van \"%s\" naar \"%s\" is mislukt!", {temp, fileName}, "");
  }
}

void SarvoTesterT::WaitForClose() {
  TDebug::Log("Waiting for Sarvo....", "");
  // The first test happens at once, so a companion tool that is not running
  // costs no wait at all. There is no time limit: the user closes the tool.
  while (AnyCompanionRunning()) {
    // The splash window keeps painting and answering while the tool runs:
    // its messages are handled as they come, between two looks at the list.
    TUtility::ProcessMessagesFor(kPollIntervalMs);
  }
  TDebug::Log("Sarvo has been closed", "");
}
