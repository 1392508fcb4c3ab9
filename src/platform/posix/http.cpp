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
// open. The multi handles live in one pool for the process, and a transfer
// borrows one for its length: consecutive transfers (the probe, the size
// check, the download) thus go out on the same kept-alive connection, each
// multi handle is only ever used by one thread at a time, and transfers on two
// threads at once simply get two. libcurl's share interface could hold the
// connections instead, but its shared connection cache is not safe for
// transfers on several threads (a known bug of the libcurl this port is built
// with); the share handle holds what it can share safely under our locks: the
// TLS sessions and the resolved names.
#include "platform/http.h"

#include <curl/curl.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

struct EasyDeleter {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct MultiDeleter {
  void operator()(CURLM* h) const { curl_multi_cleanup(h); }
};
struct UrlDeleter {
  void operator()(CURLU* h) const { curl_url_cleanup(h); }
};
struct CurlTextDeleter {
  void operator()(char* p) const { curl_free(p); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;
using Multi = std::unique_ptr<CURLM, MultiDeleter>;
using Url = std::unique_ptr<CURLU, UrlDeleter>;
using CurlText = std::unique_ptr<char, CurlTextDeleter>;

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

// How many segments with data the kernel has received on a TCP socket since
// it was opened, whether or not anybody has read them yet. Segments, not
// bytes: the kernel's byte count takes the peer's end of the stream (its FIN)
// for one more byte, and whether that came can no longer be told once a reset
// followed it. A segment that came again counts twice, which can only make a
// resend less likely.
bool ReceivedSoFar(curl_socket_t fd, std::uint64_t& segments) {
  struct tcp_info info = {};
  socklen_t size = sizeof info;
  if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return false;
  if (size < offsetof(struct tcp_info, tcpi_data_segs_in) + sizeof info.tcpi_data_segs_in) {
    return false;
  }
  segments = info.tcpi_data_segs_in;
  return true;
}

// What every transfer of the process shares: the TLS sessions (a new
// connection to a server that was spoken to before resumes its session, one
// round trip less) and the resolved names, under the locks libcurl asks for,
// one per kind of data; and the pool of multi handles with their idle
// connections.
class ConnectionPool {
 public:
  static ConnectionPool& Get() {
    // Made once and never destroyed: a transfer may still be running on some
    // thread while the process ends, and the operating system closes the
    // connections then anyway.
    static ConnectionPool* pool = new ConnectionPool();
    return *pool;
  }

  CURLSH* share() const { return share_; }

  // A multi handle for one transfer, with the idle connections of the last
  // transfer that gave it back; null when libcurl cannot make one.
  Multi Borrow() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!idle_.empty()) {
        Multi m = std::move(idle_.back());
        idle_.pop_back();
        return m;
      }
    }
    return Multi(curl_multi_init());
  }

  // Takes a multi handle back once its transfer is over (the easy handle has
  // left it), keeping the connections the server left open for the next.
  void GiveBack(Multi multi) {
    std::lock_guard<std::mutex> lock(mutex_);
    // A surplus handle closes its connections as it goes, after the lock.
    if (idle_.size() < kMaxIdle) idle_.push_back(std::move(multi));
  }

  // What the kernel had received on socket `fd` when libcurl closed it
  // (ReceivedSoFar), as recorded by CloseSocket below; false when no close of
  // it was seen.
  bool ReceivedAtClose(curl_socket_t fd, std::uint64_t& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = receivedAtClose_.find(fd);
    if (found == receivedAtClose_.end()) return false;
    bytes = found->second;
    receivedAtClose_.erase(found);
    return true;
  }

  // How many records of application data (the server's answers) OpenSSL has
  // taken in on the TLS connection `ssl` so far. Over TLS the kernel's byte
  // count would also see the server's session tickets and its goodbye.
  std::uint64_t TlsDataRecords(const void* ssl) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = tlsData_.find(ssl);
    return found == tlsData_.end() ? 0 : found->second;
  }

  // Set on every TLS connection libcurl makes: counts the application data
  // records OpenSSL takes in. TLS 1.3 hides every record's type behind
  // "application data" and tells the real one once it is decrypted; older
  // versions show it in the record's header.
  static CURLcode OnTlsContext(CURL*, void* ctx, void*) {
    ::SSL_CTX_set_msg_callback(static_cast<SSL_CTX*>(ctx), &OnTlsMessage);
    ::SSL_CTX_set_msg_callback_arg(static_cast<SSL_CTX*>(ctx), &Get());
    return CURLE_OK;
  }
  static void OnTlsMessage(int written, int, int type, const void* buf, std::size_t len, SSL* ssl,
                           void* user) {
    if (written != 0 || ssl == nullptr || len < 1) return;
    const int recordType = *static_cast<const unsigned char*>(buf);
    const bool data = recordType == SSL3_RT_APPLICATION_DATA &&
                      (type == SSL3_RT_INNER_CONTENT_TYPE ||
                       (type == SSL3_RT_HEADER && ::SSL_version(ssl) != TLS1_3_VERSION));
    if (!data) return;
    ConnectionPool& pool = *static_cast<ConnectionPool*>(user);
    std::lock_guard<std::mutex> lock(pool.mutex_);
    ++pool.tlsData_[ssl];
  }

  // The open socket whose local port is `port`, CURL_SOCKET_BAD when none.
  curl_socket_t SocketOnPort(int port) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (curl_socket_t fd : open_) {
      struct sockaddr_storage a = {};
      socklen_t size = sizeof a;
      if (::getsockname(fd, reinterpret_cast<struct sockaddr*>(&a), &size) != 0) continue;
      int local = -1;
      if (a.ss_family == AF_INET) {
        local = ntohs(reinterpret_cast<const struct sockaddr_in*>(&a)->sin_port);
      } else if (a.ss_family == AF_INET6) {
        local = ntohs(reinterpret_cast<const struct sockaddr_in6*>(&a)->sin6_port);
      }
      if (local == port) return fd;
    }
    return CURL_SOCKET_BAD;
  }

  // libcurl opens and closes every socket of the process through these two,
  // so that the pool knows them. A connection keeps the callbacks of the
  // transfer that opened it, so they may not point into any one transfer.
  // The sockets are not inherited by the programs the loader starts.
  static curl_socket_t OpenSocket(void* user, curlsocktype, struct curl_sockaddr* address) {
    const curl_socket_t fd =
        ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (fd == CURL_SOCKET_BAD) return fd;
    ConnectionPool& pool = *static_cast<ConnectionPool*>(user);
    std::lock_guard<std::mutex> lock(pool.mutex_);
    pool.open_.push_back(fd);
    return fd;
  }
  static int CloseSocket(void* user, curl_socket_t fd) {
    ConnectionPool& pool = *static_cast<ConnectionPool*>(user);
    std::uint64_t bytes = 0;
    const bool known = ReceivedSoFar(fd, bytes);
    {
      std::lock_guard<std::mutex> lock(pool.mutex_);
      pool.open_.erase(std::remove(pool.open_.begin(), pool.open_.end(), fd), pool.open_.end());
      if (known) pool.receivedAtClose_[fd] = bytes;
    }
    return ::close(fd);
  }

  // Closes every idle connection. A transfer under way keeps its own and
  // gives it back when it ends.
  void CloseIdle() {
    std::vector<Multi> closing;
    std::lock_guard<std::mutex> lock(mutex_);
    closing.swap(idle_);
  }

 private:
  ConnectionPool() : share_(curl_share_init()) {
    if (share_ == nullptr) return;
    curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &Lock);
    curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &Unlock);
    curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  }

  static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
    static_cast<ConnectionPool*>(user)->locks_[Slot(data)].lock();
  }
  static void Unlock(CURL*, curl_lock_data data, void* user) {
    static_cast<ConnectionPool*>(user)->locks_[Slot(data)].unlock();
  }
  static std::size_t Slot(curl_lock_data data) {
    const auto i = static_cast<std::size_t>(data);
    return i < kLockSlots ? i : kLockSlots - 1;
  }

  // Two threads rarely transfer at once; more idle handles than this would
  // only hold connections nobody asks for.
  static constexpr std::size_t kMaxIdle = 4;
  static constexpr std::size_t kLockSlots = CURL_LOCK_DATA_LAST + 1;

  CURLSH* share_;
  // One lock per kind of shared data, as libcurl requires; the last slot
  // takes any kind a later libcurl might add.
  std::mutex locks_[kLockSlots];
  std::mutex mutex_;
  // guards: idle_, open_, receivedAtClose_, tlsData_
  std::vector<Multi> idle_;
  std::vector<curl_socket_t> open_;
  std::map<curl_socket_t, std::uint64_t> receivedAtClose_;
  // Per TLS connection (OpenSSL's handle; an entry outlives its connection,
  // which is all a comparison after the close needs, and a handle made later
  // at the same address just counts on).
  std::map<const void*, std::uint64_t> tlsData_;
};

// A multi handle borrowed from the pool for one transfer. A transfer that
// failed gives its handle back too: libcurl has already closed a connection
// that cannot be used again.
class BorrowedMulti {
 public:
  BorrowedMulti() : multi_(ConnectionPool::Get().Borrow()) {}
  ~BorrowedMulti() {
    if (multi_) ConnectionPool::Get().GiveBack(std::move(multi_));
  }
  BorrowedMulti(const BorrowedMulti&) = delete;
  BorrowedMulti& operator=(const BorrowedMulti&) = delete;
  CURLM* get() const { return multi_.get(); }

 private:
  Multi multi_;
};

bool IsTwoHundred(int code) { return code >= 200 && code <= 299; }

bool StartsWithNoCase(const std::string& s, const char* prefix) {
  for (std::size_t i = 0; prefix[i] != '\0'; ++i) {
    if (i >= s.size()) return false;
    char a = s[i];
    char b = prefix[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

// What the callbacks learn while libcurl runs the transfer.
struct Transfer {
  const HttpSink* sink = nullptr;
  HttpResult* result = nullptr;
  std::int64_t declaredLength = -1;
  std::size_t headerBytes = 0;
  bool headersDone = false;
  // True before the first line of a response: only that line is a status
  // line. After the blank line that ends an interim (1xx) response the next
  // line is again the status line of a response.
  bool atStatusLine = true;
  bool headerTooLarge = false;
  bool bodyNotWanted = false;
  bool sinkRefused = false;
  bool connected = false;
  // How often the request went out. libcurl sends it once more on a new
  // connection when a kept-alive one turns out to have been closed by the
  // server before any byte of a response came; never a third time.
  int sends = 0;
  bool resendRefused = false;
  bool resendAllowed = false;
  bool answerCut = false;
  // The socket the request last went out on, and what had come in on it
  // before; with what had come in when libcurl closed it, this tells whether
  // a server began an answer there before it hung up.
  curl_socket_t sentOn = CURL_SOCKET_BAD;
  std::uint64_t receivedBeforeSend = 0;
  bool receivedKnown = false;
  // Over TLS: the connection's OpenSSL handle and its count of application
  // data records before the send.
  CURL* easy = nullptr;
  const void* sentOnTls = nullptr;
  Clock::time_point lastData;
};

std::string TrimBlanks(const std::string& value) {
  const std::string::size_type b = value.find_first_not_of(" \t");
  if (b == std::string::npos) return std::string();
  return value.substr(b, value.find_last_not_of(" \t") - b + 1);
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  Transfer& t = *static_cast<Transfer*>(user);
  const size_t len = size * count;
  t.lastData = Clock::now();
  std::string line(data, len);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  const bool isStatusLine = t.atStatusLine;
  t.atStatusLine = line.empty();
  if (isStatusLine) {
    // A new response begins; an interim 1xx response comes before the final
    // one, and only the final one counts.
    t.result->statusLine = line;
    t.result->statusCode = StatusCodeOf(line);
    t.result->contentLength = -1;
    t.result->chunked = false;
    t.result->etag.clear();
    t.result->lastModified.clear();
    t.declaredLength = -1;
    t.headerBytes = 0;
    t.headersDone = false;
  } else if (line.empty()) {
    t.headersDone = true;
  } else if (StartsWithNoCase(line, "content-length:")) {
    const std::string value = line.substr(15);
    t.declaredLength = ContentLength64Of(value);
    t.result->contentLength = ContentLengthOf(value);
  } else if (StartsWithNoCase(line, "etag:")) {
    t.result->etag = TrimBlanks(line.substr(5));
  } else if (StartsWithNoCase(line, "last-modified:")) {
    t.result->lastModified = TrimBlanks(line.substr(14));
  } else if (StartsWithNoCase(line, "transfer-encoding:")) {
    std::string value = line.substr(18);
    for (char& c : value) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (value.find("chunked") != std::string::npos) t.result->chunked = true;
  }
  t.headerBytes += len;
  if (t.headerBytes > kMaxResponseHeaderBytes) {
    t.headerTooLarge = true;
    return 0;
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

// Parses the URL, refuses anything but http and https and drops any user name
// and password written into it: this client never sends credentials.
bool CleanUrl(const std::string& in, std::string& out, std::string& scheme, std::string& detail) {
  Url url(curl_url());
  if (!url) {
    detail = "out of memory";
    return false;
  }
  CURLUcode rc = curl_url_set(url.get(), CURLUPART_URL, in.c_str(), 0);
  if (rc != CURLUE_OK) {
    detail = curl_url_strerror(rc);
    return false;
  }
  char* raw = nullptr;
  if (curl_url_get(url.get(), CURLUPART_SCHEME, &raw, 0) != CURLUE_OK) {
    detail = "no scheme";
    return false;
  }
  CurlText schemeText(raw);
  scheme = schemeText.get();
  if (scheme != "http" && scheme != "https") {
    detail = "only http:// and https:// are supported";
    return false;
  }
  curl_url_set(url.get(), CURLUPART_USER, nullptr, 0);
  curl_url_set(url.get(), CURLUPART_PASSWORD, nullptr, 0);
  curl_url_set(url.get(), CURLUPART_OPTIONS, nullptr, 0);
  raw = nullptr;
  if (curl_url_get(url.get(), CURLUPART_URL, &raw, 0) != CURLUE_OK) {
    detail = "cannot rebuild the URL";
    return false;
  }
  CurlText text(raw);
  out = text.get();
  return true;
}

HttpFailure Translate(CURLcode rc, const Transfer& t) {
  // A request whose second send was refused failed as its first did: the
  // server closed the connection before the response was complete.
  if (rc != CURLE_OK && t.resendRefused) return HttpFailure::ClosedEarly;
  switch (rc) {
    case CURLE_OK:
      return HttpFailure::None;
    case CURLE_WRITE_ERROR:
      if (t.headerTooLarge) return HttpFailure::HeaderTooLarge;
      if (t.sinkRefused) return HttpFailure::SinkRefused;
      if (t.bodyNotWanted) return HttpFailure::None;
      return HttpFailure::Other;
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
      // With the scheme checked beforehand, an unsupported protocol can only
      // be a reply without a status line (what libcurl calls HTTP/0.9).
      return t.result->statusLine.empty() && t.connected ? HttpFailure::BadResponse
                                                         : HttpFailure::InvalidUrl;
    case CURLE_COULDNT_RESOLVE_HOST:
      return HttpFailure::HostNotFound;
    case CURLE_COULDNT_CONNECT:
      return HttpFailure::ConnectFailed;
    case CURLE_OPERATION_TIMEDOUT:
      return t.connected ? HttpFailure::ReadTimeout : HttpFailure::ConnectTimeout;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
      return HttpFailure::ConnectionReset;
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
      return HttpFailure::ClosedEarly;
    case CURLE_WEIRD_SERVER_REPLY:
      // libcurl refuses a malformed header line (one without a colon, such
      // as a second "HTTP/1.1 ..." line) outright. After the status line of
      // a redirect or an error that changes nothing: its headers and body
      // are not used, and the caller must see the status it was sent, as
      // WinHTTP, which skips such a line, reports it.
      if (t.result->statusCode >= 300) return HttpFailure::None;
      return HttpFailure::BadResponse;
    case CURLE_BAD_CONTENT_ENCODING:
      return HttpFailure::BadResponse;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_USE_SSL_FAILED:
      return HttpFailure::SecureChannel;
    case CURLE_OUT_OF_MEMORY:
      // libcurl refuses a single header line above its own limit this way;
      // while the headers are still coming in, that is what it means.
      return t.connected && !t.headersDone ? HttpFailure::HeaderTooLarge : HttpFailure::Other;
    default:
      return HttpFailure::Other;
  }
}

// Sets up the transfer of `url` on `e`: the checks that stay on, where the
// trust store is, the callbacks into `t` and the request's time limits.
void SetOptions(CURL* e, const HttpRequest& request, const std::string& url,
                const std::string& scheme, Transfer& t, char* errorText) {
  curl_easy_setopt(e, CURLOPT_URL, url.c_str());
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
  result.failure = Translate(rc, t);
  if (result.failure != HttpFailure::None && !t.connected && t.headersDone &&
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
      IsTwoHundred(result.statusCode) && t.declaredLength >= 0 &&
      result.bodyBytes < static_cast<std::uint64_t>(t.declaredLength)) {
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

HttpResult HttpTransfer(const HttpRequest& request, const HttpSink& sink) {
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

  Transfer t;
  t.sink = &sink;
  t.result = &result;
  t.easy = easy.get();

  char errorText[CURL_ERROR_SIZE] = {};

  CURL* e = easy.get();
  SetOptions(e, request, url, scheme, t, errorText);

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
