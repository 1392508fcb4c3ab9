// One HTTP transfer: a single HEAD or GET request for a full URL, plain
// ("http://") or over TLS ("https://") (WinHTTP on Windows, libcurl on the
// Linux port).
//
// Contract: any thread; blocks until the response is complete or the transfer
// has failed, bounded by the time limits of the request; never processes GUI
// messages (callers on the GUI thread keep the window alive themselves) and
// never throws. Failures are return values: a kind, for the caller to choose
// its error, and the library's own words for the log.
//
// The request carries only what the library cannot leave out and the
// caller's own header lines (a resume's Range, If-Range and
// Accept-Encoding): no user agent of our own, no credentials (also none from
// the URL or the logged-on user), no cookies. Redirects are never followed: a 3xx is handed
// back as the response it is, so an https address can never be led down to
// plain HTTP. Only "http://" and "https://" URLs are accepted.
//
// TLS: the system's certificate checks, nothing relaxed. Windows checks
// against the machine's and the user's trusted roots; the Linux port against
// libcurl's default trust store, or the file named by SSL_CERT_FILE and the
// folder named by SSL_CERT_DIR when they are set (the convention of OpenSSL's
// tools). A certificate that does not verify, names another host or has
// expired fails the transfer (SecureChannel) before any request is sent.
//
// Proxy: only the one the administrator set for the system's HTTP stack and
// none of the program's own. Windows: WinHTTP's machine-wide default proxy (as
// "netsh winhttp set proxy" writes it), direct when none is set. Linux port:
// libcurl's proxy environment (http_proxy, https_proxy, all_proxy, no_proxy),
// direct when none is set. A proxy's refusal (407, 502, ...) is handed back as
// the response it is.
//
// The body of a 2xx response is handed to the sink piece by piece as it
// arrives, so memory stays constant whatever the size. The body of any other
// response is not read: the status and headers are all a caller needs of it.
//
// Connections: the process keeps one pool (one WinHTTP session on Windows;
// on the Linux port libcurl's connection caches and a share handle for TLS
// sessions). A connection the server leaves open after a complete response
// carries the next request to the same server, so a start waits for one
// connection set-up instead of one per request; servers that close after
// every answer cost what they always did. A kept-alive connection that the
// server closed meanwhile costs the caller nothing: the request goes out once
// more on a new connection, at most once, only when no byte of a response
// came on the old one, and within the request's own time limits. No
// chunked body is ever taken for whole (Windows asks in HTTP/1.0, and keeps
// the connection alive with "Connection: Keep-Alive"; the Linux port checks
// the chunked framing through libcurl).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform {

enum class HttpMethod { Head, Get };

struct HttpRequest {
  HttpMethod method = HttpMethod::Get;
  std::string url;
  // Milliseconds allowed for resolving the host and connecting. 0: the
  // library's own limit.
  std::uint32_t connectTimeoutMs = 0;
  // Milliseconds allowed without any data from the server, from the moment
  // the connection stands until the response is complete. 0: the library's
  // own limit.
  std::uint32_t readTimeoutMs = 0;
  // Milliseconds the whole transfer may take, from the first step of
  // connecting to the last byte of the response; headers that come in a
  // trickle count too. 0: no limit on the whole.
  std::uint32_t totalTimeoutMs = 0;
  // A body that averages fewer than lowSpeedBytesPerSecond bytes a second
  // over lowSpeedSeconds seconds fails as ReadTimeout, however often single
  // bytes arrive. 0 in either field: no such rule.
  std::uint32_t lowSpeedBytesPerSecond = 0;
  std::uint32_t lowSpeedSeconds = 0;
  // Header lines of the caller's own, "Name: value" each, without a line
  // end; sent as they are.
  std::vector<std::string> headers;
};

// Why no complete response came.
enum class HttpFailure {
  None,             // a complete response came (any status)
  InvalidUrl,       // not an http:// or https:// URL the library can parse
  HostNotFound,     // the host name does not resolve
  ConnectFailed,    // the connection was refused or could not be made
  ConnectTimeout,   // the connection did not stand within connectTimeoutMs
  ReadTimeout,      // no data for readTimeoutMs while waiting for the response,
                    // the whole took longer than totalTimeoutMs, or the
                    // body came slower than the low-speed rule allows
  ConnectionReset,  // the connection broke while sending or receiving
  ClosedEarly,      // the server closed before the response was complete,
                    // including a body shorter than its Content-Length
  BadResponse,      // no HTTP status line, or headers the library rejects
  HeaderTooLarge,   // the response headers exceed kMaxResponseHeaderBytes
  SecureChannel,    // no trusted TLS connection: the certificate does not
                    // verify, names another host or has expired, or the
                    // handshake failed
  SinkRefused,      // the sink returned false; the transfer was abandoned
  Other,            // anything else the library reports
};

// The response headers of one response may not exceed this many bytes in
// total; a server that sends more is broken or hostile.
constexpr std::size_t kMaxResponseHeaderBytes = 64 * 1024;

struct HttpResult {
  HttpFailure failure = HttpFailure::None;
  // The library's or the OS's own description of the failure (for the log);
  // empty on success.
  std::string detail;
  // The status line as received, without its line end ("HTTP/1.1 404 Not
  // Found"); empty when none came. Kept on a failure that came after it. It
  // is the server's text, unfiltered: it may hold any byte but CR and LF.
  // Only the first line of a response is its status line; a header line
  // that happens to begin with "HTTP/" is just a (malformed) header.
  std::string statusLine;
  // StatusCodeOf(statusLine).
  int statusCode = -1;
  // ContentLengthOf the response's Content-Length header, -1 when it has none.
  std::int32_t contentLength = -1;
  // The response declared a chunked body (Transfer-Encoding: chunked).
  bool chunked = false;
  // The values of the response's ETag and Last-Modified headers, blanks
  // around them removed; empty when it had none. The server's text.
  std::string etag;
  std::string lastModified;
  // The value of the response's Content-Range header, blanks around it
  // removed; empty when it had none. The server's text.
  std::string contentRange;
  // Body bytes handed to the sink.
  std::uint64_t bodyBytes = 0;
};

// Receives the body; false stops the transfer (failure SinkRefused). Called on
// the thread that runs HttpTransfer; it must not throw.
using HttpSink = std::function<bool(const char* data, std::size_t size)>;

// Sees the head of a 2xx response (statusLine, statusCode, contentLength,
// chunked, etag, lastModified and contentRange filled in) once, before the
// first byte of its body reaches the sink, also when the body is empty;
// false abandons the transfer (failure SinkRefused) before any of the body
// is handed out. Called on the thread that runs HttpTransfer; it must not
// throw.
using HttpHeadCheck = std::function<bool(const HttpResult& head)>;

HttpResult HttpTransfer(const HttpRequest& request, const HttpSink& sink,
                        const HttpHeadCheck& headCheck = HttpHeadCheck());

// Closes every idle connection of the pool, so that none stays open while the
// program waits for something else (the user's work in another program).
// Any thread; does not block on the network. A transfer under way keeps its
// connection; a later transfer opens a new one.
void HttpCloseIdleConnections();

// The number after the first blank of a status line, if the text up to the
// next blank is made of digits only and fits an int; else -1.
inline int StatusCodeOf(const std::string& statusLine) {
  std::string::size_type start = statusLine.find(' ');
  if (start == std::string::npos) return -1;
  ++start;
  std::string::size_type end = statusLine.find(' ', start);
  if (end == std::string::npos) end = statusLine.size();
  if (end == start || end - start > 9) return -1;
  int code = 0;
  for (std::string::size_type i = start; i < end; ++i) {
    char c = statusLine[i];
    if (c < '0' || c > '9') return -1;
    code = code * 10 + (c - '0');
  }
  return code;
}

// A Content-Length header value: digits with blanks around them; -1 for
// anything else (a sign, a second number, more than 18 digits).
inline std::int64_t ContentLength64Of(const std::string& value) {
  std::string::size_type b = value.find_first_not_of(" \t");
  std::string::size_type e = value.find_last_not_of(" \t");
  if (b == std::string::npos) return -1;
  if (e - b + 1 > 18) return -1;
  std::int64_t n = 0;
  for (std::string::size_type i = b; i <= e; ++i) {
    char c = value[i];
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

// The same as a signed 32-bit number; a value above 2147483647 gives -1, as a
// length a 32-bit caller could only misread.
inline std::int32_t ContentLengthOf(const std::string& value) {
  std::int64_t n = ContentLength64Of(value);
  return (n < 0 || n > 2147483647) ? -1 : static_cast<std::int32_t>(n);
}

}  // namespace platform
