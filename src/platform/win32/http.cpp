// HTTP transfers through WinHTTP, synchronously.
//
// The transfers of the process share one WinHTTP session (http_pool.h), which
// keeps the connections that servers leave open and hands them to the next
// request for the same server. Cookies, credentials and redirects stay off, so
// nothing but the connection carries over from one transfer to the next.
// WinHTTP's error codes are translated to a failure kind in one place
// (http_failure.h), right after the call that failed.
//
// One attempt of a transfer goes in steps: read the URL, connect and open the
// request, send it, read the answer's head, then read a HEAD's answer to its
// end or hand a GET's body to the sink.
#include "platform/http.h"

#include <windows.h>
#include <shlwapi.h>
#include <winhttp.h>

#include <chrono>
#include <condition_variable>
#include <cwctype>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/common/low_speed_watch.h"
#include "platform/win32/http_failure.h"
#include "platform/win32/http_pool.h"

namespace platform {

namespace {

using win32::Fail;
using win32::Failed;
using win32::InternetHandle;
using win32::Phase;
using win32::Session;
using win32::SessionPool;

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

// Where a request goes, as WinHTTP's calls take it.
struct Target {
  std::wstring host;
  INTERNET_PORT port = 0;
  bool secure = false;
  // The path with the query; "/" when the URL has none.
  std::wstring path;
};

// Reads the http:// or https:// URL `url` into `target`; false, with the
// failure in `result`, for any other.
bool ReadTarget(const std::string& url, Target& target, HttpResult& result) {
  // WinHttpCrackUrl knows no other schemes either, but says so in its own
  // words; this keeps the message the same as the Linux port's.
  const auto startsWith = [&url](const char* prefix, int n) {
    return url.size() >= static_cast<std::size_t>(n) &&
           ::CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, url.c_str(), n, prefix, n) ==
               CSTR_EQUAL;
  };
  if (!startsWith("http://", 7) && !startsWith("https://", 8)) {
    return Failed(result, HttpFailure::InvalidUrl, "only http:// and https:// are supported");
  }
  std::wstring wurl = Widen(url);
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!::WinHttpCrackUrl(wurl.c_str(), static_cast<DWORD>(wurl.size()), 0, &parts)) {
    return Failed(result, ::GetLastError(), Phase::Send);
  }
  target.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  if ((parts.nScheme != INTERNET_SCHEME_HTTP && !target.secure) || parts.dwHostNameLength == 0) {
    return Failed(result, HttpFailure::InvalidUrl, "only http:// and https:// are supported");
  }
  target.host.assign(parts.lpszHostName, parts.dwHostNameLength);
  target.port = parts.nPort;
  if (parts.lpszUrlPath != nullptr) target.path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  if (parts.lpszExtraInfo != nullptr) {
    target.path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  }
  if (target.path.empty()) target.path = L"/";
  return true;
}

// Opens the request for `target` on `connection`, with its progress reported
// to OnRequestStatus; null when WinHTTP refuses (GetLastError tells why).
InternetHandle OpenRequest(HINTERNET connection, HttpMethod method, const Target& target) {
  const wchar_t* verb = method == HttpMethod::Head ? L"HEAD" : L"GET";
  // HTTP/1.0, so that no server may answer with a chunked body: WinHTTP (Wine's
  // at least) reports a chunked body whose connection closed before its last
  // chunk as a complete one, and a download must never be taken for whole
  // when it is not. A 1.0 request gets a Content-Length, which is checked
  // by ReadBody, or a body that ends with the connection. "Connection:
  // Keep-Alive" (SendRequest) asks the server to leave the connection open
  // after an answer of known length, as HTTP/1.0 allows.
  InternetHandle req(::WinHttpOpenRequest(connection, verb, target.path.c_str(), L"HTTP/1.0",
                                          WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                          target.secure ? WINHTTP_FLAG_SECURE : 0));
  if (!req) return req;
  // Synchronous calls report their progress on this thread, within the call.
  ::WinHttpSetStatusCallback(
      req.get(), OnRequestStatus,
      WINHTTP_CALLBACK_FLAG_CONNECT_TO_SERVER | WINHTTP_CALLBACK_FLAG_RECEIVE_RESPONSE, 0);
  return req;
}

// Sets what the request may not do, and the response's limit on its headers.
void RestrictRequest(HINTERNET req) {
  // The server's certificate is checked by WinHTTP as the system does it;
  // no WINHTTP_OPTION_SECURITY_FLAGS relax it.
  // Redirects are handed back, never followed; no cookies are kept or sent;
  // no authentication is answered, and the logged-on user's credentials are
  // never offered to any server.
  SetDword(req, WINHTTP_OPTION_REDIRECT_POLICY, WINHTTP_OPTION_REDIRECT_POLICY_NEVER);
  SetDword(req, WINHTTP_OPTION_DISABLE_FEATURE,
           WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_AUTHENTICATION);
  SetDword(req, WINHTTP_OPTION_AUTOLOGON_POLICY, WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH);
  SetDword(req, WINHTTP_OPTION_MAX_RESPONSE_HEADER_SIZE,
           static_cast<DWORD>(kMaxResponseHeaderBytes));
}

// Sets the request's time limits for each wait of WinHTTP's.
void SetTimeLimits(HINTERNET req, const HttpRequest& request) {
  // WinHTTP reads 0 as "no limit", so only limits we were given are set. No
  // single wait may be longer than the whole transfer may take.
  const std::uint32_t connectMs = WithinTotal(request.connectTimeoutMs, request.totalTimeoutMs);
  const std::uint32_t readMs = WithinTotal(request.readTimeoutMs, request.totalTimeoutMs);
  if (connectMs > 0 || readMs > 0) {
    int resolve = 0, connect = 60000, send = 30000, receive = 30000;  // WinHTTP's defaults
    if (connectMs > 0) resolve = connect = static_cast<int>(connectMs);
    if (readMs > 0) send = receive = static_cast<int>(readMs);
    ::WinHttpSetTimeouts(req, resolve, connect, send, receive);
    if (readMs > 0) SetDword(req, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, readMs);
  }
}

// Sends the request (on a new connection or one the session kept) and waits
// for the head of the answer; false, with the failure in `result`, when
// either fails. `staleConnection` comes back true when the failure allows the
// request once more: it went out on a connection the session kept
// (`mayBeKept`), and that broke before any byte of an answer came.
bool SendRequest(HINTERNET req, const HttpRequest& request, bool mayBeKept,
                 AttemptProgress& progress, bool& staleConnection, HttpResult& result) {
  // A connection that breaks before any byte of the answer came, while the
  // request went out on a connection the session kept, is the server's late
  // close of that connection: the caller may send the request once more.
  // An answer that began and broke, and any time-out, are final. Wine's
  // WinHTTP reports a kept connection that ends before the answer as an
  // invalid answer, the same code as an answer cut after its first bytes; the
  // count of the answer's bytes that WinHTTP reports tells the two apart.
  const auto brokenBeforeAnswer = [mayBeKept, &progress, &staleConnection](DWORD code) {
    const bool reused = mayBeKept && !progress.newConnection;
    const bool dropped = code == ERROR_WINHTTP_CONNECTION_ERROR || code == win32::kWsaConnAborted ||
                         code == win32::kWsaConnReset;
    const bool nothingCame = progress.answerCounted ? progress.NoAnswerByte() : dropped;
    staleConnection =
        reused && (dropped || code == ERROR_WINHTTP_INVALID_SERVER_RESPONSE) && nothingCame;
    return code;
  };
  // The caller's header lines go out as they are, after the one that keeps
  // the connection.
  std::wstring headers = L"Connection: Keep-Alive\r\n";
  for (const std::string& line : request.headers) headers += Widen(line) + L"\r\n";
  if (!::WinHttpSendRequest(req, headers.c_str(), static_cast<DWORD>(-1), WINHTTP_NO_REQUEST_DATA,
                            0, 0, reinterpret_cast<DWORD_PTR>(&progress))) {
    return Failed(result, brokenBeforeAnswer(::GetLastError()), Phase::Send);
  }
  if (!::WinHttpReceiveResponse(req, nullptr)) {
    const DWORD code = brokenBeforeAnswer(::GetLastError());
    // An "invalid answer" of no byte at all is a connection the server
    // closed without answering (Wine's WinHTTP says so in these words).
    if (code == ERROR_WINHTTP_INVALID_SERVER_RESPONSE && progress.NoAnswerByte()) {
      return Failed(result, HttpFailure::ClosedEarly,
                    "the server closed the connection without an answer");
    }
    return Failed(result, code, Phase::Response);
  }
  return true;
}

// Reads the answer's status line and the headers a caller is told of into
// `result`, and its Content-Length into `declared` (-1: none or unusable);
// false, with the failure in `result`, for headers that are too large or no
// HTTP status line.
bool ReadHead(HINTERNET req, HttpResult& result, std::int64_t& declared) {
  std::wstring raw;
  if (QueryHeader(req, WINHTTP_QUERY_RAW_HEADERS_CRLF, raw)) {
    std::wstring::size_type eol = raw.find(L"\r\n");
    std::wstring first = raw.substr(0, eol);
    result.statusLine = Narrow(first.data(), first.size());
  }
  result.statusCode = StatusCodeOf(result.statusLine);
  if (raw.size() > kMaxResponseHeaderBytes) {
    return Failed(
        result, HttpFailure::HeaderTooLarge,
        "the response headers exceed " + std::to_string(kMaxResponseHeaderBytes) + " bytes");
  }
  if (result.statusLine.compare(0, 5, "HTTP/") != 0) {
    return Failed(result, HttpFailure::BadResponse, "no HTTP status line");
  }
  declared = -1;
  std::wstring length;
  if (QueryHeader(req, WINHTTP_QUERY_CONTENT_LENGTH, length)) {
    std::string value = Narrow(length.data(), length.size());
    declared = ContentLength64Of(value);
    result.contentLength = ContentLengthOf(value);
  }
  // WinHTTP hands a header's value without the blanks around it.
  std::wstring validator;
  if (QueryHeader(req, WINHTTP_QUERY_ETAG, validator)) {
    result.etag = Narrow(validator.data(), validator.size());
  }
  if (QueryHeader(req, WINHTTP_QUERY_LAST_MODIFIED, validator)) {
    result.lastModified = Narrow(validator.data(), validator.size());
  }
  std::wstring range;
  if (QueryHeader(req, WINHTTP_QUERY_CONTENT_RANGE, range)) {
    result.contentRange = Narrow(range.data(), range.size());
  }
  std::wstring encoding;
  if (QueryHeader(req, WINHTTP_QUERY_TRANSFER_ENCODING, encoding)) {
    for (wchar_t& c : encoding) c = static_cast<wchar_t>(std::towlower(c));
    result.chunked = encoding.find(L"chunked") != std::wstring::npos;
  }
  return true;
}

// Whether the server leaves the connection open after this answer: an
// HTTP/1.1 answer unless it says "close", an HTTP/1.0 one only when it says
// "keep-alive". WinHTTP keeps it then, once the answer was read.
bool ServerKeepsConnection(HINTERNET req, const std::string& statusLine) {
  std::wstring connectionHeader;
  QueryHeader(req, WINHTTP_QUERY_CONNECTION, connectionHeader);
  const std::string connectionText = Narrow(connectionHeader.data(), connectionHeader.size());
  const auto says = [&connectionText](const char* token) {
    return ::StrStrIA(connectionText.c_str(), token) != nullptr;
  };
  return statusLine.compare(0, 8, "HTTP/1.1") == 0 ? !says("close") : says("keep-alive");
}

// Reads a HEAD's answer to its end; true when the end came. WinHTTP hands a
// connection back to the session only once the answer was read to its end,
// and it reaches the end of a HEAD's answer only on a read (Wine's does; on
// Windows the read costs nothing): one read, which gives no byte, so that the
// next request goes out on this connection instead of a new one.
bool ReadToEndOfHead(HINTERNET req) {
  char none[1];
  DWORD got = 0;
  return ::WinHttpReadData(req, none, sizeof none, &got) && got == 0;
}

// False, with the failure in `result`, when the answer declares a transfer
// coding. A server that chunks its answer to a 1.0 request breaks the
// protocol, and nothing here could tell a cut body from a whole one: no byte
// of it is taken.
bool BodyEndCanBeConfirmed(HINTERNET req, HttpResult& result) {
  std::wstring coding;
  if (QueryHeader(req, WINHTTP_QUERY_TRANSFER_ENCODING, coding) &&
      Narrow(coding.data(), coding.size()).find_first_not_of(" \t") != std::string::npos) {
    return Failed(result, HttpFailure::BadResponse,
                  "a body with Transfer-Encoding \"" + Narrow(coding.data(), coding.size()) +
                      "\", whose end cannot be confirmed");
  }
  return true;
}

// Hands the body to `sink` piece by piece as it comes, and checks it against
// its Content-Length `declared` (-1: none) and the request's low-speed rule;
// false, with the failure in `result`, when the body broke off, came too
// slowly or the sink refused it.
bool ReadBody(HINTERNET req, const HttpRequest& request, std::int64_t declared,
              const HttpSink& sink, HttpResult& result) {
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
    if (!::WinHttpQueryDataAvailable(req, &available)) {
      return Failed(result, ::GetLastError(), Phase::Body);
    }
    if (available == 0) break;
    const DWORD want = available < buf.size() ? available : static_cast<DWORD>(buf.size());
    DWORD got = 0;
    if (!::WinHttpReadData(req, buf.data(), want, &got)) {
      return Failed(result, ::GetLastError(), Phase::Body);
    }
    if (got == 0) break;
    if (!sink(buf.data(), got)) {
      return Failed(result, HttpFailure::SinkRefused, "the receiver refused the data");
    }
    result.bodyBytes += got;
    if (!lowSpeed.Check(result.bodyBytes)) {
      return Failed(result, HttpFailure::ReadTimeout,
                    "the body came slower than " + std::to_string(request.lowSpeedBytesPerSecond) +
                        " bytes a second over " + std::to_string(request.lowSpeedSeconds) + " s");
    }
  }
  if (declared >= 0 && result.bodyBytes < static_cast<std::uint64_t>(declared)) {
    return Failed(result, HttpFailure::ClosedEarly,
                  "the connection closed after " + std::to_string(result.bodyBytes) + " of " +
                      std::to_string(declared) + " bytes");
  }
  return true;
}

// One attempt of the transfer in `session`. `staleConnection` comes back
// true when the attempt may be made once more: the request may have gone out
// on a connection the session kept, and that connection broke before any
// byte of a response came.
HttpResult AttemptOnce(const HttpRequest& request, const HttpSink& sink,
                       const HttpHeadCheck& headCheck, Session& session, bool& staleConnection) {
  staleConnection = false;
  HttpResult result;
  Target target;
  if (!ReadTarget(request.url, target, result)) return result;

  InternetHandle connection(
      ::WinHttpConnect(session.handle.get(), target.host.c_str(), target.port, 0));
  if (!connection) return Fail(result, ::GetLastError(), Phase::Send);

  // Whether the session may hold a connection to this server that it kept
  // after an earlier answer; the request then goes out on it. The mark is
  // taken away, and put back once this answer leaves the connection open.
  const std::wstring server =
      target.host + L":" + std::to_wstring(target.port) + (target.secure ? L"s" : L"");
  const bool mayBeKept = session.TakeKeptMark(server);

  // Declared before the request handle, so that it outlives every callback.
  AttemptProgress progress;
  InternetHandle req = OpenRequest(connection.get(), request.method, target);
  if (!req) return Fail(result, ::GetLastError(), Phase::Send);
  RestrictRequest(req.get());
  SetTimeLimits(req.get(), request);

  if (!SendRequest(req.get(), request, mayBeKept, progress, staleConnection, result)) {
    return result;
  }
  std::int64_t declared = -1;
  if (!ReadHead(req.get(), result, declared)) return result;
  const bool serverKeeps = ServerKeepsConnection(req.get(), result.statusLine);

  if (request.method == HttpMethod::Head) {
    const bool ended = ReadToEndOfHead(req.get());
    if (serverKeeps && ended) session.MarkKept(server);
    return result;
  }
  // The body of any other answer is left unread; WinHTTP then closes the
  // connection with the request.
  if (!IsTwoHundred(result.statusCode)) return result;
  if (!BodyEndCanBeConfirmed(req.get(), result)) return result;
  if (headCheck && !headCheck(result)) {
    return Fail(result, HttpFailure::SinkRefused, "the receiver refused the answer");
  }
  if (!ReadBody(req.get(), request, declared, sink, result)) return result;
  if (serverKeeps && declared >= 0) session.MarkKept(server);
  return result;
}

HttpResult TransferOnThisThread(const HttpRequest& request, const HttpSink& sink,
                                const HttpHeadCheck& headCheck) {
  std::shared_ptr<Session> session = SessionPool::Get().Current();
  if (!session) return Fail(HttpResult(), ::GetLastError(), Phase::Send);
  bool stale = false;
  HttpResult first = AttemptOnce(request, sink, headCheck, *session, stale);
  if (!stale) return first;
  // The server closed the kept connection just as the request went out. It
  // goes out once more, in a new session and so on a new connection; a
  // failure there is final. The caller's deadline covers both attempts.
  SessionPool::Get().Retire(session);
  session = SessionPool::Get().Current();
  if (!session) return first;
  return AttemptOnce(request, sink, headCheck, *session, stale);
}

// A transfer with a limit on the whole. WinHTTP's synchronous calls can only
// be bounded per wait, and closing a handle does not end a call that another
// thread is blocked in, so the transfer runs on a helper thread and this
// thread waits for it until the deadline. The answer's head and the body's
// pieces are handed over one at a time and given to the head check and the
// sink here, so both still run on the caller's thread. When the deadline passes the helper is left
// to finish on its own: it owns everything it touches (the shared job and its WinHTTP handles), its
// waits are bounded by the same limits, and its further pieces are refused.
HttpResult TransferWithDeadline(const HttpRequest& request, const HttpSink& sink,
                                const HttpHeadCheck& headCheck) {
  struct Job {
    HttpRequest request;
    bool checksHead = false;
    std::mutex mutex;
    // guards: done, result, head, piece, pieceSize, pieceTaken, pieceAccepted, abandoned
    bool done = false;
    HttpResult result;
    const HttpResult* head = nullptr;
    const char* piece = nullptr;
    std::size_t pieceSize = 0;
    bool pieceTaken = false;
    bool pieceAccepted = false;
    bool abandoned = false;
    std::condition_variable changed;
  };
  auto job = std::make_shared<Job>();
  job->request = request;
  job->checksHead = static_cast<bool>(headCheck);
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
      HttpHeadCheck forwardHead;
      if (job->checksHead) {
        forwardHead = [&job](const HttpResult& head) {
          std::unique_lock<std::mutex> lock(job->mutex);
          if (job->abandoned) return false;
          job->head = &head;
          job->pieceTaken = false;
          job->changed.notify_all();
          job->changed.wait(lock, [&job] { return job->pieceTaken || job->abandoned; });
          job->head = nullptr;
          return job->pieceTaken && job->pieceAccepted;
        };
      }
      HttpResult r;
      try {
        r = TransferOnThisThread(job->request, forward, forwardHead);
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
      return job->done || ((job->piece != nullptr || job->head != nullptr) && !job->pieceTaken);
    });
    if (!ready) break;
    if (job->done) return job->result;
    const HttpResult* head = job->head;
    const char* data = job->piece;
    const std::size_t size = job->pieceSize;
    lock.unlock();
    const bool accepted = head != nullptr ? headCheck(*head) : sink(data, size);
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

HttpResult HttpTransfer(const HttpRequest& request, const HttpSink& sink,
                        const HttpHeadCheck& headCheck) {
  if (request.totalTimeoutMs == 0) return TransferOnThisThread(request, sink, headCheck);
  return TransferWithDeadline(request, sink, headCheck);
}

}  // namespace platform
