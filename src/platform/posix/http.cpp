// HTTP transfers through libcurl.
//
// One easy handle per transfer, driven by a multi handle. The easy handle
// carries all the settings; the multi handle lets this file run the wait loop
// itself, so that "no data for N ms" is kept to within a few milliseconds.
// libcurl's own low-speed check averages the speed over several seconds, which
// would let a server that stalls after a burst of data hold the caller for
// seconds beyond the limit.
//
// The multi handle is also where libcurl keeps the connections a server left
// open; a transfer borrows one from the process's pool (http_pool.h) for its
// length. The response's head is read by http_headers.h, the URL checked by
// http_url.h and libcurl's outcome translated by http_failure.h.
#include "platform/http.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/http_failure.h"
#include "platform/posix/http_pool.h"
#include "platform/posix/http_transfer.h"
#include "platform/posix/http_url.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// The caller's header lines, as libcurl takes them, for the length of the
// transfer.
class HeaderLines {
 public:
  explicit HeaderLines(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
      curl_slist* more = curl_slist_append(list_, line.c_str());
      if (more == nullptr) {
        ok_ = false;
        break;
      }
      list_ = more;
    }
  }
  ~HeaderLines() { curl_slist_free_all(list_); }
  HeaderLines(const HeaderLines&) = delete;
  HeaderLines& operator=(const HeaderLines&) = delete;
  curl_slist* get() const { return list_; }
  bool ok() const { return ok_; }

 private:
  curl_slist* list_ = nullptr;
  bool ok_ = true;
};

struct EasyDeleter {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;

// The easy handle belongs to the multi handle for the length of the transfer
// and has to leave it before either of them is cleaned up.
class Attachment {
 public:
  Attachment(CURLM* multi, CURL* easy)
      : multi_(multi), easy_(easy), ok_(curl_multi_add_handle(multi, easy) == CURLM_OK) {}
  ~Attachment() {
    if (ok_) curl_multi_remove_handle(multi_, easy_);
  }
  Attachment(const Attachment&) = delete;
  Attachment& operator=(const Attachment&) = delete;
  bool ok() const { return ok_; }

 private:
  CURLM* multi_;
  CURL* easy_;
  bool ok_;
};

bool GlobalInit() {
  // curl_global_init is not thread-safe; a function-local static runs it
  // exactly once, whichever thread makes the first transfer.
  static const bool ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  return ok;
}

bool IsTwoHundred(int code) { return code >= 200 && code <= 299; }

// Takes each line of the response's head as libcurl hands it over; a head
// larger than kMaxResponseHeaderBytes stops the transfer.
size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  Transfer& t = *static_cast<Transfer*>(user);
  const size_t len = size * count;
  t.lastData = Clock::now();
  if (!t.head.TakeLine(data, len, *t.result)) return 0;
  if (t.headCheck != nullptr && t.head.done() && IsTwoHundred(t.result->statusCode)) {
    // Asked before any of the body is handed out; a refusal ends the
    // transfer here, as a sink's would.
    const HttpHeadCheck* check = t.headCheck;
    t.headCheck = nullptr;
    if (!(*check)(*t.result)) {
      t.sinkRefused = true;
      return 0;
    }
  }
  return len;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  Transfer& t = *static_cast<Transfer*>(user);
  const size_t len = size * count;
  t.lastData = Clock::now();
  if (!IsTwoHundred(t.result->statusCode)) {
    // The body of an error or redirect is of no use to anybody here; leaving
    // it unread also spares us a large error page.
    t.bodyNotWanted = true;
    return 0;
  }
  if (!(*t.sink)(data, len)) {
    t.sinkRefused = true;
    return 0;
  }
  t.result->bodyBytes += len;
  return len;
}

// Whether send number `send` (2 or more) of the request may go out: libcurl
// sends it once more, on a new connection, when the kept-alive one it went
// out on was closed without (libcurl thinks) an answer. Not a third time, and
// not after any byte came back there (a status line cut short, which libcurl
// does not count). Whether an answer began is decided once per transfer.
bool MayResend(Transfer& t, int send) {
  if (send > 2) t.resendRefused = true;
  if (t.resendRefused) return false;
  if (t.resendAllowed) return true;
  std::uint64_t atClose = 0;
  bool answerBegan = false;
  if (t.sentOnTls != nullptr) {
    answerBegan = ConnectionPool::Get().TlsDataRecords(t.sentOnTls) > t.receivedBeforeSend;
  } else {
    answerBegan = !t.receivedKnown || !ConnectionPool::Get().ReceivedAtClose(t.sentOn, atClose) ||
                  atClose > t.receivedBeforeSend;
  }
  if (answerBegan) {
    t.resendRefused = true;
    t.answerCut = answerBegan;
    return false;
  }
  t.resendAllowed = true;
  return true;
}

// Opens the sockets of this transfer's connections. A socket for sending the
// request once more is only opened when that may be done at all, so a refused
// resend costs no connection.
curl_socket_t OpenTransferSocket(void* user, curlsocktype purpose, struct curl_sockaddr* address) {
  Transfer& t = *static_cast<Transfer*>(user);
  if (t.sends >= 1 && !MayResend(t, t.sends + 1)) return CURL_SOCKET_BAD;
  return ConnectionPool::OpenSocket(&ConnectionPool::Get(), purpose, address);
}

// Called once the connection stands (new or kept alive), before the request
// goes out: from here on the read time limit counts instead of the connect
// time limit.
int OnConnected(void* user, char*, char*, int, int localPort) {
  Transfer& t = *static_cast<Transfer*>(user);
  ++t.sends;
  if (t.sends > 1 && !MayResend(t, t.sends)) return CURL_PREREQFUNC_ABORT;
  struct curl_tlssessioninfo* tls = nullptr;
  t.sentOnTls = nullptr;
  if (curl_easy_getinfo(t.easy, CURLINFO_TLS_SSL_PTR, &tls) == CURLE_OK && tls != nullptr &&
      tls->backend == CURLSSLBACKEND_OPENSSL && tls->internals != nullptr) {
    t.sentOnTls = tls->internals;
    t.receivedBeforeSend = ConnectionPool::Get().TlsDataRecords(t.sentOnTls);
    t.receivedKnown = true;
  } else {
    const curl_socket_t fd = ConnectionPool::Get().SocketOnPort(localPort);
    t.receivedKnown = fd != CURL_SOCKET_BAD && ReceivedSoFar(fd, t.receivedBeforeSend);
    t.sentOn = fd;
  }
  t.connected = true;
  t.lastData = Clock::now();
  return CURL_PREREQFUNC_OK;
}
// Sets up the transfer of `url` on `e`: the checks that stay on, where the
// trust store is, the callbacks into `t` and the request's time limits.
void SetOptions(CURL* e, const HttpRequest& request, const std::string& url,
                const std::string& scheme, const HeaderLines& headers, Transfer& t,
                char* errorText) {
  curl_easy_setopt(e, CURLOPT_URL, url.c_str());
  if (headers.get() != nullptr) curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.get());
  CURLSH* share = ConnectionPool::Get().share();
  if (share != nullptr) curl_easy_setopt(e, CURLOPT_SHARE, share);
  curl_easy_setopt(e, CURLOPT_OPENSOCKETFUNCTION, &OpenTransferSocket);
  curl_easy_setopt(e, CURLOPT_OPENSOCKETDATA, &t);
  curl_easy_setopt(e, CURLOPT_CLOSESOCKETFUNCTION, &ConnectionPool::CloseSocket);
  curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, &ConnectionPool::OnTlsContext);
  curl_easy_setopt(e, CURLOPT_CLOSESOCKETDATA, &ConnectionPool::Get());
  // Only the URL's own scheme, so nothing can switch an https transfer to
  // plain HTTP (redirects are not followed either).
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, scheme.c_str());
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
  // Signals would reach the whole process; the time limits are ours anyway.
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  // No CURLOPT_PROXY: libcurl then takes the proxy from the environment
  // (http_proxy, https_proxy, all_proxy, no_proxy) as the administrator set
  // it, and goes direct when none is set.
  // The certificate checks stay on (they are libcurl's defaults; set here so
  // that nobody mistakes them for options). libcurl does not read OpenSSL's
  // SSL_CERT_FILE and SSL_CERT_DIR itself, so they are handed on; without
  // them the trust store libcurl was built with applies.
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(e, CURLOPT_PROXY_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(e, CURLOPT_PROXY_SSL_VERIFYHOST, 2L);
  const char* certFile = std::getenv("SSL_CERT_FILE");
  if (certFile != nullptr && *certFile != '\0') {
    curl_easy_setopt(e, CURLOPT_CAINFO, certFile);
    curl_easy_setopt(e, CURLOPT_PROXY_CAINFO, certFile);
  }
  const char* certDir = std::getenv("SSL_CERT_DIR");
  if (certDir != nullptr && *certDir != '\0') {
    curl_easy_setopt(e, CURLOPT_CAPATH, certDir);
    curl_easy_setopt(e, CURLOPT_PROXY_CAPATH, certDir);
  }
  curl_easy_setopt(e, CURLOPT_NETRC, static_cast<long>(CURL_NETRC_IGNORED));
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &OnHeader);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, &t);
  // Larger pieces than libcurl's 16 KiB default mean fewer writes into the
  // download file: measured against a loopback server, 1 MiB brings a
  // 256 MiB download from about 0.7 to about 0.9 of the command-line tool's
  // speed, for 1 MiB of memory.
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, 1024L * 1024L);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &OnBody);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &t);
  curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, &OnConnected);
  curl_easy_setopt(e, CURLOPT_PREREQDATA, &t);
  if (request.method == HttpMethod::Head) {
    curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
    // A HEAD response has no body, so its Content-Length is only read (by
    // OnHeader), never trusted; a value libcurl would reject as rubbish must
    // not fail the request, it just counts as "no length".
    curl_easy_setopt(e, CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
  } else {
    curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
  }
  if (request.connectTimeoutMs > 0) {
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.connectTimeoutMs));
  }
  if (request.totalTimeoutMs > 0) {
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(request.totalTimeoutMs));
  }
  if (request.lowSpeedBytesPerSecond > 0 && request.lowSpeedSeconds > 0) {
    // libcurl averages the speed of the body and fails the transfer with a
    // time-out once it stayed below the limit for the whole window.
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, static_cast<long>(request.lowSpeedBytesPerSecond));
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, static_cast<long>(request.lowSpeedSeconds));
  }
}

// Drives the transfer until libcurl is done with it, watching the read time
// limit. False, with the failure in `result`, when libcurl fails or no data
// came in time.
bool Run(CURLM* multi, const HttpRequest& request, Transfer& t, HttpResult& result) {
  const auto readLimit = std::chrono::milliseconds(request.readTimeoutMs);
  t.lastData = Clock::now();
  bool readTimedOut = false;
  for (;;) {
    int running = 0;
    CURLMcode mc = curl_multi_perform(multi, &running);
    if (mc != CURLM_OK) {
      result.failure = HttpFailure::Other;
      result.detail = curl_multi_strerror(mc);
      return false;
    }
    if (running == 0) break;

    int waitMs = 1000;
    if (t.connected && request.readTimeoutMs > 0) {
      const auto idle = Clock::now() - t.lastData;
      if (idle >= readLimit) {
        readTimedOut = true;
        break;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(readLimit - idle);
      waitMs = static_cast<int>(std::min<long long>(std::max<long long>(left.count(), 1), 1000));
    }
    // Returns early on socket activity and on libcurl's own timers (such as
    // the connect time limit).
    mc = curl_multi_poll(multi, nullptr, 0, waitMs, nullptr);
    if (mc != CURLM_OK) {
      result.failure = HttpFailure::Other;
      result.detail = curl_multi_strerror(mc);
      return false;
    }
  }

  if (readTimedOut) {
    result.failure = HttpFailure::ReadTimeout;
    result.detail = "no data from the server for " + std::to_string(request.readTimeoutMs) + " ms";
    return false;
  }
  return true;
}

// What the finished transfer came to: libcurl's outcome, with the answers
// that count as received and the short bodies that do not.
void Conclude(CURLM* multi, CURL* e, const HttpRequest& request, const Transfer& t,
              const char* errorText, HttpResult& result) {
  CURLcode rc = CURLE_OK;
  int left = 0;
  while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
    if (msg->msg == CURLMSG_DONE && msg->easy_handle == e) rc = msg->data.result;
  }
  result.failure = TranslateCurlCode(rc, t);
  if (result.failure != HttpFailure::None && !t.connected && t.head.done() &&
      result.statusCode >= 300) {
    // A proxy that will not open a tunnel for https answers the CONNECT with
    // a whole response of its own (407, 502, ...); libcurl reports that as a
    // failed connection. It is the proxy's answer, handed back as it is, as a
    // plain-HTTP proxy's refusal is.
    result.failure = HttpFailure::None;
    result.detail.clear();
    return;
  }
  if (result.failure == HttpFailure::None && request.method == HttpMethod::Get &&
      IsTwoHundred(result.statusCode) && t.head.declaredLength() >= 0 &&
      result.bodyBytes < static_cast<std::uint64_t>(t.head.declaredLength())) {
    // libcurl reports a short body itself; this is the second line of defence
    // against installing a truncated file.
    result.failure = HttpFailure::ClosedEarly;
    result.detail = "the body is shorter than its Content-Length";
    return;
  }
  if (result.failure != HttpFailure::None) {
    result.detail = errorText[0] != '\0' ? std::string(errorText) : curl_easy_strerror(rc);
    if (t.resendRefused) {
      result.detail = t.answerCut ? "the server closed the connection in the middle of its answer"
                                  : "the server closed the connection twice without an answer";
    }
    if (result.failure == HttpFailure::HeaderTooLarge) {
      result.detail =
          "the response headers exceed " + std::to_string(kMaxResponseHeaderBytes) + " bytes";
    }
  }
}

}  // namespace

void HttpCloseIdleConnections() {
  if (!GlobalInit()) return;
  ConnectionPool::Get().CloseIdle();
}

HttpResult HttpTransfer(const HttpRequest& request, const HttpSink& sink,
                        const HttpHeadCheck& headCheck) {
  HttpResult result;
  if (!GlobalInit()) {
    result.failure = HttpFailure::Other;
    result.detail = "libcurl could not be initialised";
    return result;
  }
  std::string url;
  std::string scheme;
  if (!CleanUrl(request.url, url, scheme, result.detail)) {
    result.failure = HttpFailure::InvalidUrl;
    return result;
  }

  Easy easy(curl_easy_init());
  BorrowedMulti multi;
  if (!easy || multi.get() == nullptr) {
    result.failure = HttpFailure::Other;
    result.detail = "libcurl could not create a transfer";
    return result;
  }

  const HeaderLines headers(request.headers);
  if (!headers.ok()) {
    result.failure = HttpFailure::Other;
    result.detail = "libcurl could not take the request's headers";
    return result;
  }

  Transfer t;
  t.sink = &sink;
  if (headCheck && request.method == HttpMethod::Get) t.headCheck = &headCheck;
  t.result = &result;
  t.easy = easy.get();

  char errorText[CURL_ERROR_SIZE] = {};

  CURL* e = easy.get();
  SetOptions(e, request, url, scheme, headers, t, errorText);

  Attachment attached(multi.get(), e);
  if (!attached.ok()) {
    result.failure = HttpFailure::Other;
    result.detail = "libcurl could not start the transfer";
    return result;
  }

  if (!Run(multi.get(), request, t, result)) return result;
  Conclude(multi.get(), e, request, t, errorText, result);
  return result;
}

}  // namespace platform
