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
#include "platform/files.h"
#include "platform/gui.h"
#include "platform/sysinfo.h"
#include "support/Exceptions.h"
#include "support/u_Utility.h"

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

const char* const kCompanionExe = "sarvo2006.exe";
const char* const kCompanionServerPath = "/software/sarvo/sarvo2006.exe";
const char* const kReachabilityServerPath = "/software/sarvo/versie.txt";
const char* const kNoUpdateMarker = "NoSarvoUpdate.txt";
const char* const kModeAfterDownload = "/AUTO /INIT";
const char* const kModeOtherwise = "/AUTO";
const char* const kDownloadingText =
    "Een moment geduld a.u.b., er worden nieuwe applicatie onderdelen gedownload.";
const char* const kDownloadFailedContext =
    "DudozividEreradOdavazevozT.internDownloadUpdater(); Download van bestand is mislukt";

void Log(const std::string& msg) { TDebug::Log(msg, ""); }
void LogFmt(const std::string& fmt, const FmtArgs& args) { TDebug::LogFmt(fmt, args, ""); }

// Records the start mode, starts the companion tool, waits until no
// companion process is left and clears the start mode again.
void StartCompanion(SarvoTesterT& tester, ISarvoSettings& settings, const std::string& path,
                    const std::string& mode) {
  settings.SetState(1);
  settings.SetParams(mode);
  LogFmt("Starting %s with \"%s\"", {path, settings.GetParams()});
  const int code = TUtility::ExecuteAndWait(path, "");
  LogFmt("## LastErrorCode: %d: %s",
         {code, TUtility::SysErrorMessage(static_cast<std::uint32_t>(code))});
  tester.WaitForClose();
  settings.SetState(0);
  settings.SetParams("");
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

void SarvoTesterT::UpdateAndStart() {
  // The module's own folder, without removing a long-path prefix.
  const std::string path =
      IncludeTrailingPathDelimiter(ExtractFilePath(platform::ModuleFileName())) + kCompanionExe;
  Log("Checking Sarvo version with server");

  auto status = std::make_unique<downloadStatusT>(3);
  const std::string exeUrl = UpdateServerUrl(kCompanionServerPath);
  bool updateBranch = false;
  std::string versionBefore;

  if (platform::FileExists(path) && IsUpToDate(path, exeUrl)) {
    status->Value = 2;
  } else {
    updateBranch = true;
    status->URL = exeUrl;
    status->FileName = path;
    versionBefore = TUtility::ReadFileVersion(path);
    if (!platform::FileExists(TUtility::AppPath() + kNoUpdateMarker)) {
      DoStatus(kDownloadingText);
      if (ServerAvailable(UpdateServerUrl(kReachabilityServerPath))) {
        TWaitThread* worker = nullptr;
        RunWaitThread(
            worker,
            [this](void* arg) { DownloadUpdate(static_cast<downloadStatusT*>(arg)); },
            status.get());
      }
    }
  }
  DoStatus("");

  if (updateBranch) {
    const std::string versionAfter = TUtility::ReadFileVersion(path);
    if (versionAfter != versionBefore) {
      LogFmt("%s is geupdate van v%s naar v%s",
             {ExtractFileName(path), versionBefore, versionAfter});
    }
  }

  std::shared_ptr<ISarvoSettings> settings = GetSarvoSettings();
  settings->SetState(0);
  if (status->Value == 1) {
    StartCompanion(*this, *settings, status->FileName, kModeAfterDownload);
  } else if (status->Value >= 2) {
    StartCompanion(*this, *settings, path, kModeOtherwise);
  }
  // Value 0: the download failed, so nothing is started and "Params" keeps
  // whatever it held.
}

bool SarvoTesterT::IsUpToDate(const std::string& path, const std::string& url) {
  TIdHTTP http;
  try {
    http.Head(url);
    if (http.ResponseCode() == 200) {
      return http.ContentLength() == TUtility::GetFileSize(path);
    }
    LogFmt("Sarvo could not be found @ %s", {url});
    Log("Response: \"" + std::to_string(http.ResponseCode()) + ": " + http.ResponseText() +
        "\"");
  } catch (const Exception& e) {
    Log(std::string("Exception [") + e.ClassName() + "]: " + e.Message() + "\r\nErrorcode " +
        std::to_string(http.ResponseCode()) + ", message: " + http.ResponseText());
  } catch (const std::exception& e) {
    Log(std::string("Exception [Exception]: ") + e.what() + "\r\nErrorcode " +
        std::to_string(http.ResponseCode()) + ", message: " + http.ResponseText());
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
  status->Value = 0;
  const std::string temp = ChangeFileExt(status->FileName, ".tmp");
  try {
    TIdHTTP http;
    platform::DeleteFile(temp);
    platform::File file;
    std::uint32_t error = 0;
    if (!file.Open(temp, platform::File::Mode::CreateAlways, platform::File::Share::None,
                   &error)) {
      throw EFCreateError("Cannot create file \"" + temp + "\". " +
                          platform::FileErrorText(error));
    }
    LogFmt("Downloaden van %s", {status->URL});
    // A body shorter than its declared length raises here, so a cut
    // download never counts as done.
    http.Get(status->URL, file);
    file.Close();
    const std::int32_t size = TUtility::GetFileSize(temp);
    // A success status without a body (204 No Content, or an empty file on
    // the server) would install an empty executable over a working one.
    if (size == 0) {
      throw EIdException("Geen inhoud ontvangen voor " + status->URL + " (HTTP " +
                         std::to_string(http.ResponseCode()) + ")");
    }
    // With an update key configured, only a download signed with it goes on
    // to the install; a missing or wrong signature raises here and ends as a
    // failed download, before the backup is touched.
    CheckUpdateSignature(status->URL, temp);
    LogFmt("Opgeslagen als %s (%s)", {status->FileName, TUtility::FormatFileSize(size)});
    status->Value = 1;
  } catch (const std::exception& e) {
    TUtility::LogException(this, &e, kDownloadFailedContext);
  } catch (...) {
    TUtility::LogException(this, nullptr, kDownloadFailedContext);
  }

  if (status->Value == 0) {
    if (platform::FileExists(temp)) platform::DeleteFile(temp);
    return;
  }

  const std::string backup = status->FileName + ".bak";
  // On a first installation there is nothing to back up; the download is
  // installed all the same rather than left behind as a temporary file.
  if (platform::FileExists(status->FileName)) {
    if (platform::FileExists(backup) && !platform::DeleteFile(backup)) {
      LogFmt("Backup maken van %s naar %s is mislukt!", {status->FileName, backup});
      Log("Update zal doorgaan");
    }
    if (!platform::CopyFile(status->FileName, backup, false)) {
      LogFmt("Backup maken van \"%s\" naar \"%s\" is mislukt!", {status->FileName, backup});
      return;
    }
  }
  if (platform::CopyFile(temp, status->FileName, false)) {
    platform::DeleteFile(temp);
  } else {
    LogFmt("Copieren van \"%s\" naar \"%s\" is mislukt!", {temp, status->FileName});
  }
}

void SarvoTesterT::WaitForClose() {
  TDebug::Log("Waiting for Sarvo....", "");
  // The first test happens at once, so a companion tool that is not running
  // costs no wait at all. There is no time limit: the user closes the tool.
  while (AnyCompanionRunning()) {
    // The splash window keeps painting and answering while the tool runs.
    platform::ProcessMessages();
    platform::SleepMs(kPollIntervalMs);
  }
  TDebug::Log("Sarvo has been closed", "");
}
