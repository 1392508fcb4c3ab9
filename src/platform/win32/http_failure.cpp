#include "platform/win32/http_failure.h"

#include <winhttp.h>

namespace platform {
namespace win32 {

// WinHTTP keeps the texts of its own codes in its module, not in the
// system's message table.
std::string WinHttpErrorText(DWORD code) {
  char buf[256] = {};
  DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  HMODULE module = ::GetModuleHandleA("winhttp.dll");
  if (module != nullptr) flags |= FORMAT_MESSAGE_FROM_HMODULE;
  DWORD n = ::FormatMessageA(flags, module, code, 0, buf, sizeof buf, nullptr);
  std::string text(buf, n);
  while (!text.empty() && (static_cast<unsigned char>(text.back()) <= ' ' || text.back() == '.')) {
    text.pop_back();
  }
  std::string out = "WinHTTP error " + std::to_string(code);
  if (!text.empty()) out += ": " + text;
  return out;
}

HttpFailure TranslateWinHttpCode(DWORD code, Phase phase) {
  switch (code) {
    case ERROR_WINHTTP_INVALID_URL:
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
      return HttpFailure::InvalidUrl;
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
    case kWsaHostNotFound:
      return HttpFailure::HostNotFound;
    case ERROR_WINHTTP_CANNOT_CONNECT:
    case kWsaConnRefused:
      return HttpFailure::ConnectFailed;
    case ERROR_WINHTTP_TIMEOUT:
    case kWsaTimedOut:
      return phase == Phase::Send ? HttpFailure::ConnectTimeout : HttpFailure::ReadTimeout;
    case ERROR_WINHTTP_CONNECTION_ERROR:
    case kWsaConnAborted:
    case kWsaConnReset:
      return phase == Phase::Send ? HttpFailure::ConnectionReset : HttpFailure::ClosedEarly;
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
      return HttpFailure::BadResponse;
    case ERROR_WINHTTP_HEADER_SIZE_OVERFLOW:
      return HttpFailure::HeaderTooLarge;
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
    case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED:
      return HttpFailure::SecureChannel;
    default:
      return HttpFailure::Other;
  }
}

bool Failed(HttpResult& result, DWORD code, Phase phase) {
  result.failure = TranslateWinHttpCode(code, phase);
  result.detail = WinHttpErrorText(code);
  return false;
}

bool Failed(HttpResult& result, HttpFailure failure, const std::string& detail) {
  result.failure = failure;
  result.detail = detail;
  return false;
}

HttpResult Fail(HttpResult result, DWORD code, Phase phase) {
  Failed(result, code, phase);
  return result;
}

HttpResult Fail(HttpResult result, HttpFailure failure, const std::string& detail) {
  Failed(result, failure, detail);
  return result;
}

}  // namespace win32
}  // namespace platform
