// The companion-tool updater's public face: the status texts it hands out,
// and each step delegated to the file that does it.
#include "companion/u_SarvoChecker.h"

#include <cstdint>
#include <string>

#include "companion/companion_run.h"
#include "companion/download.h"
#include "companion/install.h"
#include "companion/size_check.h"
#include "companion/update_flow.h"
#include "companion/update_lock.h"
#include "platform/sysinfo.h"
#include "support/path_text.h"
#include "support/u_Utility.h"

namespace {

const char* const kCompanionExe = "sarvo2006.exe";
const char* const kNoUpdateMarker = "NoSarvoUpdate.txt";

}  // namespace

// The module's own folder, without removing a long-path prefix, for the
// companion; the marker file is looked for in the application folder.
SarvoTesterT::SarvoTesterT(void* /*owner*/)
    : companionPath_(IncludeTrailingPathDelimiter(ExtractFilePath(platform::ModuleFileName())) +
                     kCompanionExe),
      noUpdateMarker_(TUtility::AppPath() + kNoUpdateMarker) {}

SarvoTesterT::SarvoTesterT(void* /*owner*/, const std::string& installFolder)
    : companionPath_(IncludeTrailingPathDelimiter(installFolder) + kCompanionExe),
      noUpdateMarker_(IncludeTrailingPathDelimiter(installFolder) + kNoUpdateMarker) {}

void SarvoTesterT::DoStatus(const std::string& msg) {
  if (OnStatus) OnStatus(this, msg);
}

void SarvoTesterT::SetUpdateLockLimitForTesting(std::uint32_t ms) {
  companion::SetUpdateLockLimit(ms);
}

void SarvoTesterT::UpdateAndStart() {
  companion::UpdateAndStart({companionPath_, noUpdateMarker_},
                            [this](const std::string& msg) { DoStatus(msg); });
}

bool SarvoTesterT::IsUpToDate(const std::string& path, const std::string& url) {
  return companion::CheckSize(path, url).upToDate;
}

bool SarvoTesterT::ServerAvailable(const std::string& url) {
  return companion::ServerAvailable(url);
}

void SarvoTesterT::DownloadUpdate(downloadStatusT* status) {
  status->Value = downloadStatusT::kFailed;
  companion::Download download =
      companion::FetchAndVerify(status->URL, status->FileName, status->ServerSize, std::string());
  if (download.outcome != companion::FetchOutcome::Verified) return;
  status->Value = downloadStatusT::kDownloaded;
  status->Installed =
      companion::InstallDownload(status->FileName, download) == companion::InstallResult::Installed;
}

void SarvoTesterT::WaitForClose() { companion::WaitForCompanionToClose(); }
