// The HTTP client adapter: turns one platform transfer into the loader's
// success-or-error contract, and keeps the window alive when the call is made
// on the GUI thread.
#include "connection/IdHTTP.h"

#include "connection/IdAntiFreeze.h"
#include "platform/files.h"
#include "platform/gui.h"
#include "support/Format.h"
#include "support/worker_wait.h"

namespace {

// "NAME value" for a validator the loader can keep and compare; empty for a
// value with anything but printable ASCII in it, or a long one: the server's
// text goes into a file that every user's loader reads.
std::string ValidatorText(const char* name, const std::string& value) {
  if (value.size() > TIdHTTP::kMaxValidatorLength) return std::string();
  for (const char c : value) {
    if (c < 0x20 || c > 0x7E) return std::string();
  }
  return std::string(name) + " " + value;
}

using platform::HttpFailure;
using platform::HttpResult;

std::string FailureText(const HttpResult& r) {
  std::string what;
  switch (r.failure) {
    case HttpFailure::InvalidUrl:
      what = "Invalid URL";
      break;
    case HttpFailure::HostNotFound:
      what = "Host not found";
      break;
    case HttpFailure::ConnectFailed:
      what = "Could not connect to the server";
      break;
    case HttpFailure::ConnectTimeout:
      what = "Connect timed out";
      break;
    case HttpFailure::ReadTimeout:
      what = "Read timed out";
      break;
    case HttpFailure::ConnectionReset:
      what = "Connection reset";
      break;
    case HttpFailure::ClosedEarly:
      what = "Connection closed before the response was complete";
      break;
    case HttpFailure::BadResponse:
      what = "Invalid response from the server";
      break;
    case HttpFailure::HeaderTooLarge:
      what = "Response headers too large";
      break;
    case HttpFailure::SecureChannel:
      what = "Secure connection failed";
      break;
    default:
      what = "HTTP transfer failed";
      break;
  }
  // The library's words may quote the server.
  return r.detail.empty() ? what : what + ": " + PrintableText(r.detail);
}

[[noreturn]] void ThrowFailure(const HttpResult& r) {
  const std::string text = FailureText(r);
  switch (r.failure) {
    case HttpFailure::InvalidUrl:
      throw EIdInvalidURL(text);
    case HttpFailure::HostNotFound:
    case HttpFailure::ConnectFailed:
    case HttpFailure::ConnectionReset:
      throw EIdSocketError(text);
    case HttpFailure::SecureChannel:
      throw EIdSecureConnectionError(text);
    case HttpFailure::ConnectTimeout:
      throw EIdConnectTimeout(text);
    case HttpFailure::ReadTimeout:
      throw EIdReadTimeout(text);
    case HttpFailure::ClosedEarly:
      throw EIdConnClosedGracefully(text);
    case HttpFailure::BadResponse:
    case HttpFailure::HeaderTooLarge:
      throw EIdHTTPInvalidResponse(text);
    default:
      throw EIdException(text);
  }
}

// Runs the transfer on a short-lived worker while the calling (GUI) thread
// waits, handling the window's messages through the anti-freeze's Process as
// they arrive and at least every `idleMs`. The worker is joined before this
// returns, so the request, the sink and whatever the sink writes into
// outlive it.
HttpResult TransferKeepingWindowAlive(const platform::HttpRequest& request,
                                      const platform::HttpSink& sink,
                                      const platform::HttpHeadCheck& headCheck,
                                      std::uint32_t idleMs) {
  HttpResult result;
  const bool returned =
      RunOnWorkerAndWait([&request, &sink, &headCheck,
                          &result] { result = platform::HttpTransfer(request, sink, headCheck); },
                         idleMs,
                         [] {
                           // An anti-freeze that was switched off or went away during the call
                           // no longer runs; the window still is kept alive.
                           if (!TIdAntiFreeze::DoProcess()) platform::ProcessMessages();
                         });
  if (!returned) {
    result = HttpResult();
    result.failure = HttpFailure::Other;
    result.detail = "unexpected error in the transfer";
  }
  return result;
}

HttpResult Transfer(const platform::HttpRequest& request, const platform::HttpSink& sink,
                    const platform::HttpHeadCheck& headCheck) {
  const std::uint32_t idleMs = TIdAntiFreeze::IdleTimeOutForThisThread();
  if (idleMs == 0) return platform::HttpTransfer(request, sink, headCheck);
  return TransferKeepingWindowAlive(request, sink, headCheck, idleMs);
}

std::uint32_t LimitOrDefault(std::int32_t ms, std::int32_t fallback) {
  return static_cast<std::uint32_t>(ms > 0 ? ms : fallback);
}

}  // namespace

bool TIdHTTP::Run(platform::HttpMethod method, const std::string& url,
                  const platform::HttpSink& sink, const std::vector<std::string>& headers,
                  const std::function<bool()>& onHead) {
  platform::HttpRequest request;
  request.method = method;
  request.url = url;
  request.connectTimeoutMs = LimitOrDefault(ConnectTimeout, kDefaultConnectTimeout);
  request.readTimeoutMs = LimitOrDefault(ReadTimeout, kDefaultReadTimeout);
  request.totalTimeoutMs = static_cast<std::uint32_t>(TotalTimeout > 0 ? TotalTimeout : 0);
  request.lowSpeedBytesPerSecond = LimitOrDefault(LowSpeedLimit, kDefaultLowSpeedLimit);
  request.lowSpeedSeconds = LimitOrDefault(LowSpeedTime, kDefaultLowSpeedTime);
  request.headers = headers;

  responseCode_ = -1;
  responseText_.clear();
  contentLength_ = -1;
  chunked_ = false;
  validator_.clear();
  contentRange_.clear();
  platform::HttpHeadCheck headCheck;
  if (onHead) {
    headCheck = [this, &onHead](const HttpResult& head) {
      Record(head);
      return onHead();
    };
  }
  HttpResult r = Transfer(request, sink, headCheck);
  Record(r);

  if (r.failure == HttpFailure::SinkRefused) return false;
  if (r.failure != HttpFailure::None) ThrowFailure(r);
  if (r.statusCode < 200 || r.statusCode > 299) {
    throw EIdHTTPProtocolException(r.statusCode, responseText_);
  }
  return true;
}

void TIdHTTP::Record(const HttpResult& r) {
  // The status line is the server's text; from here on it reaches the log,
  // so it is made printable once, here. The code was read from the original.
  responseCode_ = r.statusCode;
  responseText_ = PrintableText(r.statusLine);
  contentLength_ = r.contentLength;
  chunked_ = r.chunked;
  validator_ = !r.etag.empty()           ? ValidatorText("ETag", r.etag)
               : !r.lastModified.empty() ? ValidatorText("Last-Modified", r.lastModified)
                                         : std::string();
  contentRange_ = PrintableText(r.contentRange);
}

void TIdHTTP::CloseIdleConnections() { platform::HttpCloseIdleConnections(); }

void TIdHTTP::Head(const std::string& url) {
  // A HEAD response has no body; a sink that refuses would only ever be
  // called by a broken library.
  Run(platform::HttpMethod::Head, url, [](const char*, std::size_t) { return false; });
}

std::string TIdHTTP::Get(const std::string& url, std::size_t maxBytes) {
  std::string body;
  const bool ok =
      Run(platform::HttpMethod::Get, url, [&body, maxBytes](const char* data, std::size_t size) {
        if (body.size() + size > maxBytes) return false;
        body.append(data, size);
        return true;
      });
  if (!ok) {
    throw EIdHTTPInvalidResponse("Response body larger than " + std::to_string(maxBytes) +
                                 " bytes");
  }
  return body;
}

void TIdHTTP::Get(const std::string& url, platform::File& stream, std::int64_t maxBytes) {
  platform::Failure error = platform::Failure::None;
  const std::int64_t limit = maxBytes < 0 ? 0 : maxBytes;
  std::int64_t written = 0;
  bool tooLong = false;
  std::vector<std::string> headers;
  if (RangeFrom > 0) {
    headers.push_back("Range: bytes=" + std::to_string(RangeFrom) + "-");
    if (!IfRange.empty()) headers.push_back("If-Range: " + IfRange);
    headers.push_back("Accept-Encoding: identity");
  }
  bool refused = false;
  const std::function<bool()> onHead = [this, &refused] {
    refused = OnHead && !OnHead();
    return !refused;
  };
  const platform::HttpSink sink = [&](const char* data, std::size_t size) {
    // Up to one byte past the limit is written; the rest of the piece and
    // of the body never is.
    const std::int64_t room = limit + 1 - written;
    const bool fits = static_cast<std::int64_t>(size) < room;
    const std::size_t take = fits ? size : static_cast<std::size_t>(room);
    if (!stream.Write(data, take, &error)) return false;
    written += static_cast<std::int64_t>(take);
    if (OnWritten) OnWritten(static_cast<std::int64_t>(take));
    if (written > limit) tooLong = true;
    return !tooLong;
  };
  const bool ok = Run(platform::HttpMethod::Get, url, sink, headers, onHead);
  if (refused) {
    throw EIdHTTPInvalidResponse("Answer refused before its body: " + responseText_ + " " +
                                 PrintableText(url));
  }
  if (tooLong) {
    throw EIdHTTPInvalidResponse("Response body longer than " + std::to_string(limit) +
                                 " bytes: " + PrintableText(url));
  }
  if (!ok) throw EWriteError("Stream write error: " + platform::FileErrorText(error));
}
