// The companion-tool updater's public face: the status texts it hands out,
// and each step delegated to the file that does it.
#include "companion/u_SarvoChecker.h"

#include <cstdint>
#include <string>

#include "companion/companion_run.h"
#include "companion/download.h"
#include "companion/size_check.h"
#include "companion/update_flow.h"
#include "companion/update_lock.h"
#include "platform/sysinfo.h"
#include "support/u_Utility.h"

const char kDownloadingText[] =
    "Een moment geduld a.u.b., er worden nieuwe applicatie onderdelen gedownload.";

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
  companion::UpdateAndStart(*this, {companionPath_, noUpdateMarker_});
}

bool SarvoTesterT::IsUpToDate(const std::string& path, const std::string& url) {
  std::int32_t serverSize = -1;
  return IsUpToDate(path, url, serverSize);
}

bool SarvoTesterT::IsUpToDate(const std::string& path, const std::string& url,
                              std::int32_t& serverSize, std::string* validator) {
  return companion::IsUpToDate(path, url, serverSize, validator);
}

bool SarvoTesterT::ServerAvailable(const std::string& url) {
  return companion::ServerAvailable(url);
}

void SarvoTesterT::DownloadUpdate(downloadStatusT* status) {
  companion::DownloadUpdate(this, *status);
}

void SarvoTesterT::WaitForClose() { companion::WaitForCompanionToClose(); }
