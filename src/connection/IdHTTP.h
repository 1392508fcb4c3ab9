// The HTTP client the loader uses for every transfer with the update server,
// and the errors it raises.
//
// Each operation makes one request, on a connection the server kept open
// after an earlier request of this process or on a new one (see
// platform/http.h); a kept-alive connection that the server closed meanwhile
// is replaced without the caller seeing it. Success is a final
// response with a 2xx status; anything else raises an error of the EIdException
// family:
//   - EIdHTTPProtocolException: a complete response with another status (a 3xx
//     is not followed, a 401/407 is not answered with credentials). ErrorCode()
//     is the status code, Message() the status line ("HTTP/1.1 404 Not Found").
//   - every other failure (no connection, time limit, connection closed early,
//     no status line, ...) raises a class of its own with a message.
// After any call, also a failed one, ResponseCode() and ResponseText() tell
// the last status code (-1 when none came or it was not a number) and status
// line (empty when none came).
//
// Time limits: ConnectTimeout for resolving and connecting, ReadTimeout for
// each wait for data. Where the program sets none (0 or less), 15 s and 60 s
// apply, so that a dead server can never hang the loader. A body that averages
// less than LowSpeedLimit bytes a second over LowSpeedTime seconds (1 KiB/s
// over 60 s unless set) fails as a read time-out, so a server that sends a
// byte now and then cannot either. TotalTimeout, when set, bounds the whole
// request, headers included.
//
// The status line and the messages are made printable (PrintableText) before
// anybody sees them: they end up in the log.
//
// Threads: an object is used by one thread at a time. On the GUI thread, with
// an active TIdAntiFreeze, the calls dispatch pending GUI messages while they
// wait (see IdAntiFreeze.h); elsewhere they just block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/http.h"
#include "support/Exceptions.h"

namespace platform {
class File;
}

// The root of the HTTP client's errors.
KESTRO_DECLARE_EXCEPTION(EIdException, Exception);
// The host name does not resolve, the connection is refused or broke.
KESTRO_DECLARE_EXCEPTION(EIdSocketError, EIdException);
// No trusted TLS connection to an https server: the certificate does not
// verify, names another host or has expired, or the handshake failed.
KESTRO_DECLARE_EXCEPTION(EIdSecureConnectionError, EIdSocketError);
KESTRO_DECLARE_EXCEPTION(EIdConnectTimeout, EIdException);
KESTRO_DECLARE_EXCEPTION(EIdReadTimeout, EIdException);
// The server closed the connection before the response was complete (a body
// shorter than its Content-Length included).
KESTRO_DECLARE_EXCEPTION(EIdConnClosedGracefully, EIdException);
// Not an HTTP response: no status line, headers that cannot be read or that
// are too large, or a body larger than the caller can take in memory.
KESTRO_DECLARE_EXCEPTION(EIdHTTPInvalidResponse, EIdException);
KESTRO_DECLARE_EXCEPTION(EIdInvalidURL, EIdException);

class EIdHTTPProtocolException : public EIdException {
 public:
  EIdHTTPProtocolException(int errorCode, const std::string& statusLine)
      : EIdException(statusLine), errorCode_(errorCode) {}
  const char* ClassName() const noexcept override { return "EIdHTTPProtocolException"; }
  int ErrorCode() const noexcept { return errorCode_; }

 private:
  int errorCode_;
};

class TIdHTTP {
 public:
  static constexpr std::int32_t kDefaultConnectTimeout = 15000;
  static constexpr std::int32_t kDefaultReadTimeout = 60000;
  // A body fetched into memory may not be larger than this.
  static constexpr std::size_t kMaxMemoryBody = 16 * 1024 * 1024;
  // Nor one fetched into a file, unless the caller knows a smaller size: a
  // server that streams without end must not fill the volume.
  static constexpr std::int64_t kMaxFileBody = std::int64_t{2} * 1024 * 1024 * 1024;

  // Milliseconds; 0 or less means the default above.
  std::int32_t ConnectTimeout = 0;
  std::int32_t ReadTimeout = 0;
  // Milliseconds for the whole request; 0 or less: no limit on the whole.
  std::int32_t TotalTimeout = 0;
  // Bytes a second, and seconds; 0 or less means the default.
  static constexpr std::int32_t kDefaultLowSpeedLimit = 1024;
  static constexpr std::int32_t kDefaultLowSpeedTime = 60;
  std::int32_t LowSpeedLimit = 0;
  std::int32_t LowSpeedTime = 0;

  // For the next GET into a file: the bytes from RangeFrom on (0, as at
  // first: the whole body), asked for with "Range: bytes=N-" and, when
  // IfRange is set (the value of a strong ETag or a Last-Modified date),
  // "If-Range", so that a server whose copy changed sends it whole; and
  // "Accept-Encoding: identity", so that the bytes count as stored.
  std::int64_t RangeFrom = 0;
  std::string IfRange;
  // For a GET into a file: looks at a success answer before the first byte
  // of its body is written (ResponseCode, ContentLength, ContentRange and
  // Validator tell it already); false refuses the body, which then raises
  // EIdHTTPInvalidResponse with nothing written.
  std::function<bool()> OnHead;
  // For a GET into a file: told the length of every piece written.
  std::function<void(std::int64_t written)> OnWritten;

  // HEAD of `url`. The response's headers are read, no body.
  void Head(const std::string& url);
  // GET of `url` into memory; a body larger than `maxBytes` raises
  // EIdHTTPInvalidResponse as soon as it is seen to be too large.
  std::string Get(const std::string& url, std::size_t maxBytes = kMaxMemoryBody);
  // GET of `url`, writing the body into `stream` as it arrives. A write that
  // fails raises EWriteError. What arrived before a failure stays written.
  // A body longer than `maxBytes` is cut off after maxBytes + 1 bytes (the
  // one more shows that it was longer) and raises EIdHTTPInvalidResponse;
  // the connection is then given up.
  void Get(const std::string& url, platform::File& stream, std::int64_t maxBytes = kMaxFileBody);

  // Closes the connections that servers keep open for this process's next
  // requests, before the program waits for something that may take long.
  static void CloseIdleConnections();

  int ResponseCode() const { return responseCode_; }
  const std::string& ResponseText() const { return responseText_; }
  // The last response's Content-Length, -1 when it had none or it did not fit
  // a signed 32-bit number.
  std::int32_t ContentLength() const { return contentLength_; }
  // Whether the last response declared a chunked body.
  bool Chunked() const { return chunked_; }
  // What tells the last response's body from another of the same length:
  // "ETag " and its ETag, else "Last-Modified " and its date, else empty. A
  // value that is not plain printable text of at most kMaxValidatorLength
  // characters counts as none.
  const std::string& Validator() const { return validator_; }
  // The last response's Content-Range, empty when it had none; the server's
  // text, made printable.
  const std::string& ContentRange() const { return contentRange_; }
  static constexpr std::size_t kMaxValidatorLength = 256;

 private:
  // One transfer; records the response, raises the failure. False when the
  // sink refused the body, which the operation turns into its own error.
  // `headers` go with the request; `onHead` sees a success answer's head
  // (recorded already) before its body and may refuse it.
  bool Run(platform::HttpMethod method, const std::string& url, const platform::HttpSink& sink,
           const std::vector<std::string>& headers = {},
           const std::function<bool()>& onHead = std::function<bool()>());
  // Keeps what the caller may ask of the last response.
  void Record(const platform::HttpResult& r);

  int responseCode_ = -1;
  std::string responseText_;
  std::int32_t contentLength_ = -1;
  bool chunked_ = false;
  std::string validator_;
  std::string contentRange_;
};
