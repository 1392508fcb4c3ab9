// The Windows build's one translation of WinHTTP's error codes into the
// failure kinds of platform/http.h, made right after the call that failed.
// Only files in this folder include it.
#pragma once

#include <windows.h>

#include <string>

#include "platform/http.h"

namespace platform {
namespace win32 {

// Which call failed decides what a time-out means.
enum class Phase { Send, Response, Body };

// Besides its own codes, WinHTTP hands on socket codes in places (Wine's does
// for a receive that timed out, for one), so those are translated too.
constexpr DWORD kWsaConnAborted = 10053;   // WSAECONNABORTED
constexpr DWORD kWsaConnReset = 10054;     // WSAECONNRESET
constexpr DWORD kWsaTimedOut = 10060;      // WSAETIMEDOUT
constexpr DWORD kWsaConnRefused = 10061;   // WSAECONNREFUSED
constexpr DWORD kWsaHostNotFound = 11001;  // WSAHOST_NOT_FOUND

// WinHTTP's code `code` with its text, for the log: "WinHTTP error N: text".
std::string WinHttpErrorText(DWORD code);

// What WinHTTP's code `code` from a call of `phase` means for the caller.
HttpFailure TranslateWinHttpCode(DWORD code, Phase phase);

// Puts a failure into `result`, from a WinHTTP code or as a kind with our own
// words; false, for a step of the transfer to return.
bool Failed(HttpResult& result, DWORD code, Phase phase);
bool Failed(HttpResult& result, HttpFailure failure, const std::string& detail);

// `result` with a failure put in, as Failed does.
HttpResult Fail(HttpResult result, DWORD code, Phase phase);
HttpResult Fail(HttpResult result, HttpFailure failure, const std::string& detail);

}  // namespace win32
}  // namespace platform
