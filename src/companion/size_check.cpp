// The size check of the companion tool and the reachability test.
#include "companion/size_check.h"

#include <exception>

#include "connection/IdHTTP.h"
#include "support/Exceptions.h"
#include "support/u_Utility.h"

namespace companion {

bool IsUpToDate(const std::string& path, const std::string& url, std::int32_t& serverSize,
                std::string* validator) {
  TIdHTTP http;
  serverSize = -1;
  if (validator != nullptr) validator->clear();
  try {
    http.Head(url);
    if (http.ResponseCode() == 200) {
      serverSize = http.ContentLength();
      if (validator != nullptr) *validator = http.Validator();
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
