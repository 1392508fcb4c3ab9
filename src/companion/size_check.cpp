// The size check of the companion tool and the reachability test.
#include "companion/size_check.h"

#include <exception>

#include "connection/IdHTTP.h"
#include "support/Exceptions.h"
#include "support/debug_log.h"
#include "support/u_Utility.h"

namespace companion {

SizeCheck CheckSize(const std::string& path, const std::string& url) {
  TIdHTTP http;
  SizeCheck check;
  try {
    http.Head(url);
    if (http.ResponseCode() == 200) {
      check.serverSize = http.ContentLength();
      check.validator = http.Validator();
      check.upToDate = check.serverSize == TUtility::GetFileSize(path);
      return check;
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
  return check;
}

bool ServerAvailable(const std::string& url) {
  try {
    TIdHTTP http;
    http.Get(url);
    return true;
  } catch (const std::exception&) {
    // Only whether the file could be fetched counts; the failure is silent.
    return false;
  }
}

}  // namespace companion
