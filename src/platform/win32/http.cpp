// HTTP transfers through WinHTTP, synchronously.
//
// The transfers of the process share one WinHTTP session, which keeps the
// connections that servers leave open and hands them to the next request for
// the same server: a start goes out on one connection where the server allows
// it. Cookies, credentials and redirects stay off, so nothing but the
// connection carries over from one transfer to the next. WinHTTP's error
// codes are translated to a failure kind in one place, right after the call
// that failed.
#include "platform/http.h"

#include <windows.h>
#include <shlwapi.h>
#include <winhttp.h>

#include <chrono>
#include <condition_variable>
#include <cwctype>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/common/low_speed_watch.h"
#include "platform/unique_handle.h"

namespace platform {

namespace {

struct InternetHandleTraits {
  using Handle = HINTERNET;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::WinHttpCloseHandle(h); }
};
using InternetHandle = UniqueHandle<InternetHandleTraits>;

// Which call failed decides what a time-out means.
enum class Phase { Send, Response, Body };

// One WinHTTP session and the servers whose connections it may be keeping
// open. A transfer holds the session it uses until it ends, so a session that
// is given up (closed idle connections, a stale connection) closes only once
// nobody uses it any more; closing it closes the connections it kept.
struct Session {
  InternetHandle handle;
  std::mutex mutex;
  // guards: keptAlive
  std::set<std::wstring> keptAlive;
};

class SessionPool {
 public:
  static SessionPool& Get() {
    // Never destroyed: a transfer left behind by its deadline may still run
    // when the process ends.
    static SessionPool* pool = new SessionPool();
    return *pool;
  }

  // The process's session, opened when there is none; null when WinHTTP
  // refuses (GetLastError tells why).
  std::shared_ptr<Session> Current() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (current_) return current_;
    auto session = std::make_shared<Session>();
    // No user agent of our own (null: WinHTTP sends none). The proxy is the
    // one the administrator set for WinHTTP on this machine, and direct when
    // none is set; the program names none of its own.
    session->handle.reset(::WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                        WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session->handle) return nullptr;
    current_ = session;
    return current_;
  }

  // Gives up `session` (when it is still the current one): the next transfer
  // opens a new session, so its request cannot go out on a connection that
  // the old one kept.
  void Retire(const std::shared_ptr<Session>& session) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (current_ == session) current_.reset();
  }

  void CloseIdle() {
    std::shared_ptr<Session> closing;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closing.swap(current_);
    }
  }

 private:
  std::mutex mutex_;
  // guards: current_
  std::shared_ptr<Session> current_;
};

std::wstring Widen(const std::string& s) {
  if (s.empty()) return std::wstring();
  int n = ::MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) ::MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), &w[0], n);
  return w;
}

std::string Narrow(const wchar_t* w, std::size_t len) {
  if (len == 0) return std::string();
  int n = ::WideCharToMultiByte(CP_ACP, 0, w, static_cast<int>(len), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) {
    ::WideCharToMultiByte(CP_ACP, 0, w, static_cast<int>(len), &s[0], n, nullptr, nullptr);
  }
  return s;
}

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

// Besides its own codes, WinHTTP hands on socket codes in places (Wine's does
// for a receive that timed out, for one), so those are translated too.
constexpr DWORD kWsaConnAborted = 10053;   // WSAECONNABORTED
constexpr DWORD kWsaConnReset = 10054;     // WSAECONNRESET
constexpr DWORD kWsaTimedOut = 10060;      // WSAETIMEDOUT
constexpr DWORD kWsaConnRefused = 10061;   // WSAECONNREFUSED
constexpr DWORD kWsaHostNotFound = 11001;  // WSAHOST_NOT_FOUND

HttpFailure Translate(DWORD code, Phase phase) {
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

HttpResult Fail(HttpResult result, DWORD code, Phase phase) {
  result.failure = Translate(code, phase);
  result.detail = WinHttpErrorText(code);
  return result;
}

HttpResult Fail(HttpResult result, HttpFailure failure, const std::string& detail) {
  result.failure = failure;
  result.detail = detail;
  return result;
}

void SetDword(HINTERNET h, DWORD option, DWORD value) {
  // Options this WinHTTP does not know are left at its defaults; the ones
  // that matter for behaviour are checked by the tests.
  ::WinHttpSetOption(h, option, &value, sizeof value);
}

// A header as text, or false when the response has none.
bool QueryHeader(HINTERNET request, DWORD info, std::wstring& out) {
  DWORD bytes = 0;
  ::WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                        &bytes, WINHTTP_NO_HEADER_INDEX);
  if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || bytes == 0) return false;
  std::vector<wchar_t> buf(bytes / sizeof(wchar_t) + 1, L'\0');
  if (!::WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, buf.data(), &bytes,
                             WINHTTP_NO_HEADER_INDEX)) {
    return false;
  }
  out.assign(buf.data(), bytes / sizeof(wchar_t));
  return true;
}

bool IsTwoHundred(int code) { return code >= 200 && code <= 299; }

using Clock = std::chrono::steady_clock;

// The shorter of a limit and the total limit, where 0 means "none".
std::uint32_t WithinTotal(std::uint32_t limit, std::uint32_t total) {
  if (total == 0) return limit;
  if (limit == 0) return total;
  return limit < total ? limit : total;
}

// What WinHTTP reports while a request goes out and its answer comes: whether
// it opened a new connection for it, and how many bytes of the answer it
// received before it judged the answer's head.
struct AttemptProgress {
  bool newConnection = false;
  bool answerCounted = false;
  DWORD answerBytes = 0;

  // WinHTTP said that no byte of an answer came.
  bool NoAnswerByte() const { return answerCounted && answerBytes == 0; }
};

void CALLBACK OnRequestStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info,
                              DWORD length) {
  auto* progress = reinterpret_cast<AttemptProgress*>(context);
  if (progress == nullptr) return;
  if (status == WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER) progress->newConnection = true;
  if (status == WINHTTP_CALLBACK_STATUS_RESPONSE_RECEIVED && info != nullptr &&
      length >= sizeof(DWORD)) {
    progress->answerCounted = true;
    progress->answerBytes = *static_cast<const DWORD*>(info);
  }
}

// One attempt of the transfer in `session`. `staleConnection` comes back
// true when the attempt may be made once more: the request may have gone out
// on a connection the session kept, and that connection broke before any
// byte of a response came.
HttpResult AttemptOnce(const HttpRequest& request, const HttpSink& sink, Session& session,
                       bool& staleConnection);

HttpResult TransferOnThisThread(const HttpRequest& request, const HttpSink& sink) {
  std::shared_ptr<Session> session = SessionPool::Get().Current();
  if (!session) return Fail(HttpResult(), ::GetLastError(), Phase::Send);
  bool stale = false;
  HttpResult first = AttemptOnce(request, sink, *session, stale);
  if (!stale) return first;
  // The server closed the kept connection just as the request went out. It
  // goes out once more, in a new session and so on a new connection; a
  // failure there is final. The caller's deadline covers both attempts.
  SessionPool::Get().Retire(session);
  session = SessionPool::Get().Current();
  if (!session) return first;
  return AttemptOnce(request, sink, *session, stale);
}

HttpResult AttemptOnce(const HttpRequest& request, const HttpSink& sink, Session& session,
                       bool& staleConnection) {
  staleConnection = false;
  HttpResult result;

  // WinHttpCrackUrl knows no other schemes either, but says so in its own
  // words; this keeps the message the same as the Linux port's.
  const std::string& u = request.url;
  const auto startsWith = [&u](const char* prefix, int n) {
    return u.size() >= static_cast<std::size_t>(n) &&
           ::CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, u.c_str(), n, prefix, n) ==
               CSTR_EQUAL;
  };
  if (!startsWith("http://", 7) && !startsWith("https://", 8)) {
    return Fail(result, HttpFailure::InvalidUrl, "only http:// and https:// are supported");
  }
  std::wstring wurl = Widen(u);
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!::WinHttpCrackUrl(wurl.c_str(), static_cast<DWORD>(wurl.size()), 0, &parts)) {
    return Fail(result, ::GetLastError(), Phase::Send);
  }
  const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  if ((parts.nScheme != INTERNET_SCHEME_HTTP && !secure) || parts.dwHostNameLength == 0) {
    return Fail(result, HttpFailure::InvalidUrl, "only http:// and https:// are supported");
  }
  std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  std::wstring path;
  if (parts.lpszUrlPath != nullptr) path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  if (parts.lpszExtraInfo != nullptr) path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (path.empty()) path = L"/";

  InternetHandle connection(::WinHttpConnect(session.handle.get(), host.c_str(), parts.nPort, 0));
  if (!connection) return Fail(result, ::GetLastError(), Phase::Send);

  // Whether the session may hold a connection to this server that it kept
  // after an earlier answer; the request then goes out on it. The mark is
  // taken away, and put back once this answer leaves the connection open.
  const std::wstring server = host + L":" + std::to_wstring(parts.nPort) + (secure ? L"s" : L"");
  bool mayBeKept = false;
  {
    std::lock_guard<std::mutex> lock(session.mutex);
    mayBeKept = session.keptAlive.erase(server) > 0;
  }
  const auto keptFromNowOn = [&session, &server] {
    std::lock_guard<std::mutex> lock(session.mutex);
    session.keptAlive.insert(server);
  };

  // Declared before the request handle, so that it outlives every callback.
  AttemptProgress progress;
  const wchar_t* verb = request.method == HttpMethod::Head ? L"HEAD" : L"GET";
  // HTTP/1.0, so that no server may answer with a chunked body: WinHTTP (Wine's
  // at least) reports a chunked body whose connection closed before its last
  // chunk as a complete one, and a download must never be taken for whole
  // when it is not. A 1.0 request gets a Content-Length, which is checked
  // below, or a body that ends with the connection. "Connection: Keep-Alive"
  // asks the server to leave the connection open after an answer of known
  // length, as HTTP/1.0 allows.
  InternetHandle req(::WinHttpOpenRequest(connection.get(), verb, path.c_str(), L"HTTP/1.0",
                                          WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                          secure ? WINHTTP_FLAG_SECURE : 0));
  if (!req) return Fail(result, ::GetLastError(), Phase::Send);
  // Synchronous calls report their progress on this thread, within the call.
  ::WinHttpSetStatusCallback(
      req.get(), OnRequestStatus,
      WINHTTP_CALLBACK_FLAG_CONNECT_TO_SERVER | WINHTTP_CALLBACK_FLAG_RECEIVE_RESPONSE, 0);

  // The server's certificate is checked by WinHTTP as the system does it;
  // no WINHTTP_OPTION_SECURITY_FLAGS relax it.
  // Redirects are handed back, never followed; no cookies are kept or sent;
  // no authentication is answered, and the logged-on user's credentials are
  // never offered to any server.
  SetDword(req.get(), WINHTTP_OPTION_REDIRECT_POLICY, WINHTTP_OPTION_REDIRECT_POLICY_NEVER);
  SetDword(req.get(), WINHTTP_OPTION_DISABLE_FEATURE,
           WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_AUTHENTICATION);
  SetDword(req.get(), WINHTTP_OPTION_AUTOLOGON_POLICY, WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH);
  SetDword(req.get(), WINHTTP_OPTION_MAX_RESPONSE_HEADER_SIZE,
           static_cast<DWORD>(kMaxResponseHeaderBytes));

  // WinHTTP reads 0 as "no limit", so only limits we were given are set. No
  // single wait may be longer than the whole transfer may take.
  const std::uint32_t connectMs = WithinTotal(request.connectTimeoutMs, request.totalTimeoutMs);
  const std::uint32_t readMs = WithinTotal(request.readTimeoutMs, request.totalTimeoutMs);
  if (connectMs > 0 || readMs > 0) {
    int resolve = 0, connect = 60000, send = 30000, receive = 30000;  // WinHTTP's defaults
    if (connectMs > 0) resolve = connect = static_cast<int>(connectMs);
    if (readMs > 0) send = receive = static_cast<int>(readMs);
    ::WinHttpSetTimeouts(req.get(), resolve, connect, send, receive);
    if (readMs > 0) SetDword(req.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, readMs);
  }

  // A connection that breaks before any byte of the answer came, while the
  // request went out on a connection the session kept, is the server's late
  // close of that connection: the caller may send the request once more.
  // An answer that began and broke, and any time-out, are final. Wine's
  // WinHTTP reports a kept connection that ends before the answer as an
  // invalid answer, the same code as an answer cut after its first bytes; the
  // count of the answer's bytes that WinHTTP reports tells the two apart.
  const auto brokenBeforeAnswer = [mayBeKept, &progress, &staleConnection](DWORD code) {
    const bool reused = mayBeKept && !progress.newConnection;
    const bool dropped =
        code == ERROR_WINHTTP_CONNECTION_ERROR || code == kWsaConnAborted || code == kWsaConnReset;
    const bool nothingCame = progress.answerCounted ? progress.NoAnswerByte() : dropped;
    staleConnection =
        reused && (dropped || code == ERROR_WINHTTP_INVALID_SERVER_RESPONSE) && nothingCame;
    return code;
  };
  if (!::WinHttpSendRequest(req.get(), L"Connection: Keep-Alive\r\n", static_cast<DWORD>(-1),
                            WINHTTP_NO_REQUEST_DATA, 0, 0,
                            reinterpret_cast<DWORD_PTR>(&progress))) {
    return Fail(result, brokenBeforeAnswer(::GetLastError()), Phase::Send);
  }
  if (!::WinHttpReceiveResponse(req.get(), nullptr)) {
    const DWORD code = brokenBeforeAnswer(::GetLastError());
    // An "invalid answer" of no byte at all is a connection the server
    // closed without answering (Wine's WinHTTP says so in these words).
    if (code == ERROR_WINHTTP_INVALID_SERVER_RESPONSE && progress.NoAnswerByte()) {
      return Fail(result, HttpFailure::ClosedEarly,
                  "the server closed the connection without an answer");
    }
    return Fail(result, code, Phase::Response);
  }

  std::wstring raw;
  if (QueryHeader(req.get(), WINHTTP_QUERY_RAW_HEADERS_CRLF, raw)) {
    std::wstring::size_type eol = raw.find(L"\r\n");
    std::wstring first = raw.substr(0, eol);
    result.statusLine = Narrow(first.data(), first.size());
  }
  result.statusCode = StatusCodeOf(result.statusLine);
  if (raw.size() > kMaxResponseHeaderBytes) {
    return Fail(
        result, HttpFailure::HeaderTooLarge,
        "the response headers exceed " + std::to_string(kMaxResponseHeaderBytes) + " bytes");
  }
  if (result.statusLine.compare(0, 5, "HTTP/") != 0) {
    return Fail(result, HttpFailure::BadResponse, "no HTTP status line");
  }
  std::int64_t declared = -1;
  std::wstring length;
  if (QueryHeader(req.get(), WINHTTP_QUERY_CONTENT_LENGTH, length)) {
    std::string value = Narrow(length.data(), length.size());
    declared = ContentLength64Of(value);
    result.contentLength = ContentLengthOf(value);
  }
  // WinHTTP hands a header's value without the blanks around it.
  std::wstring validator;
  if (QueryHeader(req.get(), WINHTTP_QUERY_ETAG, validator)) {
    result.etag = Narrow(validator.data(), validator.size());
  }
  if (QueryHeader(req.get(), WINHTTP_QUERY_LAST_MODIFIED, validator)) {
    result.lastModified = Narrow(validator.data(), validator.size());
  }
  std::wstring encoding;
  if (QueryHeader(req.get(), WINHTTP_QUERY_TRANSFER_ENCODING, encoding)) {
    for (wchar_t& c : encoding) c = static_cast<wchar_t>(std::towlower(c));
    result.chunked = encoding.find(L"chunked") != std::wstring::npos;
  }

  // Whether the server leaves the connection open after this answer: an
  // HTTP/1.1 answer unless it says "close", an HTTP/1.0 one only when it
  // says "keep-alive". WinHTTP keeps it then, once the answer was read.
  std::wstring connectionHeader;
  QueryHeader(req.get(), WINHTTP_QUERY_CONNECTION, connectionHeader);
  const std::string connectionText = Narrow(connectionHeader.data(), connectionHeader.size());
  const auto says = [&connectionText](const char* token) {
    return ::StrStrIA(connectionText.c_str(), token) != nullptr;
  };
  const bool serverKeeps =
      result.statusLine.compare(0, 8, "HTTP/1.1") == 0 ? !says("close") : says("keep-alive");

  if (request.method == HttpMethod::Head) {
    // WinHTTP hands a connection back to the session only once the answer
    // was read to its end, and it reaches the end of a HEAD's answer only on
    // a read (Wine's does; on Windows the read costs nothing): one read, which
    // gives no byte, so that the next request goes out on this connection
    // instead of a new one.
    char none[1];
    DWORD got = 0;
    const bool ended = ::WinHttpReadData(req.get(), none, sizeof none, &got) && got == 0;
    if (serverKeeps && ended) keptFromNowOn();
    return result;
  }
  // The body of any other answer is left unread; WinHTTP then closes the
  // connection with the request.
  if (!IsTwoHundred(result.statusCode)) return result;

  // A server that chunks its answer to a 1.0 request breaks the protocol, and
  // nothing here could tell a cut body from a whole one: no byte of it is
  // taken.
  std::wstring coding;
  if (QueryHeader(req.get(), WINHTTP_QUERY_TRANSFER_ENCODING, coding) &&
      Narrow(coding.data(), coding.size()).find_first_not_of(" \t") != std::string::npos) {
    return Fail(result, HttpFailure::BadResponse,
                "a body with Transfer-Encoding \"" + Narrow(coding.data(), coding.size()) +
                    "\", whose end cannot be confirmed");
  }

  // A fixed buffer: the body goes to the sink piece by piece, in pieces large
  // enough that the writes into the download file cost little (1 MiB, as the
  // Linux port reads).
  std::vector<char> buf(1024 * 1024);
  LowSpeedWatch lowSpeed(request.lowSpeedBytesPerSecond, request.lowSpeedSeconds);
  for (;;) {
    // Asking what has arrived first, and reading no more than that, returns
    // each piece as it comes: a read of a whole buffer may otherwise wait
    // until the buffer is full, and a trickle would never be seen as slow.
    DWORD available = 0;
    if (!::WinHttpQueryDataAvailable(req.get(), &available)) {
      return Fail(result, ::GetLastError(), Phase::Body);
    }
    if (available == 0) break;
    const DWORD want = available < buf.size() ? available : static_cast<DWORD>(buf.size());
    DWORD got = 0;
    if (!::WinHttpReadData(req.get(), buf.data(), want, &got)) {
      return Fail(result, ::GetLastError(), Phase::Body);
    }
    if (got == 0) break;
    if (!sink(buf.data(), got)) {
      return Fail(result, HttpFailure::SinkRefused, "the receiver refused the data");
    }
    result.bodyBytes += got;
    if (!lowSpeed.Check(result.bodyBytes)) {
      return Fail(result, HttpFailure::ReadTimeout,
                  "the body came slower than " + std::to_string(request.lowSpeedBytesPerSecond) +
                      " bytes a second over " + std::to_string(request.lowSpeedSeconds) + " s");
    }
  }
  if (declared >= 0 && result.bodyBytes < static_cast<std::uint64_t>(declared)) {
    return Fail(result, HttpFailure::ClosedEarly,
                "the connection closed after " + std::to_string(result.bodyBytes) + " of " +
                    std::to_string(declared) + " bytes");
  }
  if (serverKeeps && declared >= 0) keptFromNowOn();
  return result;
}

// A transfer with a limit on the whole. WinHTTP's synchronous calls can only
// be bounded per wait, and closing a handle does not end a call that another
// thread is blocked in, so the transfer runs on a helper thread and this
// thread waits for it until the deadline. Body pieces are handed over one at
// a time and given to the sink here, so the sink still runs on the caller's
// thread. When the deadline passes the helper is left to finish on its own:
// it owns everything it touches (the shared job and its WinHTTP handles), its
// waits are bounded by the same limits, and its further pieces are refused.
HttpResult TransferWithDeadline(const HttpRequest& request, const HttpSink& sink) {
  struct Job {
    HttpRequest request;
    std::mutex mutex;
    // guards: done, result, piece, pieceSize, pieceTaken, pieceAccepted, abandoned
    bool done = false;
    HttpResult result;
    const char* piece = nullptr;
    std::size_t pieceSize = 0;
    bool pieceTaken = false;
    bool pieceAccepted = false;
    bool abandoned = false;
    std::condition_variable changed;
  };
  auto job = std::make_shared<Job>();
  job->request = request;
  const auto deadline = Clock::now() + std::chrono::milliseconds(request.totalTimeoutMs);

  try {
    std::thread([job] {
      HttpSink forward = [&job](const char* data, std::size_t size) {
        std::unique_lock<std::mutex> lock(job->mutex);
        if (job->abandoned) return false;
        job->piece = data;
        job->pieceSize = size;
        job->pieceTaken = false;
        job->changed.notify_all();
        job->changed.wait(lock, [&job] { return job->pieceTaken || job->abandoned; });
        job->piece = nullptr;
        return job->pieceTaken && job->pieceAccepted;
      };
      HttpResult r;
      try {
        r = TransferOnThisThread(job->request, forward);
      } catch (...) {
        r = HttpResult();
        r.failure = HttpFailure::Other;
        r.detail = "unexpected error in the transfer";
      }
      std::lock_guard<std::mutex> lock(job->mutex);
      job->result = std::move(r);
      job->done = true;
      job->changed.notify_all();
    }).detach();
  } catch (const std::exception&) {
    return Fail(HttpResult(), HttpFailure::Other, "no thread for the transfer");
  }

  std::unique_lock<std::mutex> lock(job->mutex);
  for (;;) {
    const bool ready = job->changed.wait_until(lock, deadline, [&job] {
      return job->done || (job->piece != nullptr && !job->pieceTaken);
    });
    if (!ready) break;
    if (job->done) return job->result;
    const char* data = job->piece;
    const std::size_t size = job->pieceSize;
    lock.unlock();
    const bool accepted = sink(data, size);
    lock.lock();
    job->pieceAccepted = accepted;
    job->pieceTaken = true;
    job->changed.notify_all();
  }
  job->abandoned = true;
  job->changed.notify_all();
  HttpResult late = job->result;
  late.statusLine.clear();
  late.statusCode = -1;
  late.contentLength = -1;
  return Fail(late, HttpFailure::ReadTimeout,
              "the transfer did not end within " + std::to_string(request.totalTimeoutMs) + " ms");
}

}  // namespace

void HttpCloseIdleConnections() { SessionPool::Get().CloseIdle(); }

HttpResult HttpTransfer(const HttpRequest& request, const HttpSink& sink) {
  if (request.totalTimeoutMs == 0) return TransferOnThisThread(request, sink);
  return TransferWithDeadline(request, sink);
}

}  // namespace platform
