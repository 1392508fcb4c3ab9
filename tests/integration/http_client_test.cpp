// The HTTP client adapter against the real update server on loopback: what a
// caller gets for each kind of answer (and non-answer) the server can give.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "connection/IdHTTP.h"
#include "platform/files.h"
#include "platform/sysinfo.h"
#include "support/Format.h"
#include "support/testing.h"
#include "support/trust.h"
#include "support/update_server.h"
#include "support/xdotool.h"

namespace {

using testing_support::JsonString;
using testing_support::OnWindows;
using testing_support::TestServer;

// Not checked.
constexpr int kAny = -2;

enum class Op { Head, GetMemory, GetFile };

// What a call left behind: its error, if any, and the client's view of the
// last response.
struct Outcome {
  std::string errorClass;  // empty on success
  std::string message;
  int errorCode = -1;  // of a protocol failure
  int responseCode = -1;
  std::string responseText;
  std::int32_t contentLength = -1;
  bool chunked = false;
  std::string body;
  long long elapsedMs = 0;
};

// The client's further limits; 0 leaves its default.
struct Limits {
  std::int32_t totalMs = 0;
  std::int32_t lowSpeedBytesPerSecond = 0;
  std::int32_t lowSpeedSeconds = 0;
};

Outcome Call(Op op, const std::string& url, std::int32_t timeoutMs,
             const testing_support::TempDir& dir, const Limits& limits = Limits()) {
  TIdHTTP http;
  http.ConnectTimeout = timeoutMs;
  http.ReadTimeout = timeoutMs;
  http.TotalTimeout = limits.totalMs;
  http.LowSpeedLimit = limits.lowSpeedBytesPerSecond;
  http.LowSpeedTime = limits.lowSpeedSeconds;
  Outcome o;
  const std::string file = dir / "download.bin";
  const auto start = std::chrono::steady_clock::now();
  try {
    if (op == Op::Head) {
      http.Head(url);
    } else if (op == Op::GetMemory) {
      o.body = http.Get(url);
    } else {
      platform::File stream;
      EXPECT_TRUE(
          stream.Open(file, platform::File::Mode::CreateAlways, platform::File::Share::None));
      http.Get(url, stream);
    }
  } catch (const EIdHTTPProtocolException& e) {
    o.errorClass = e.ClassName();
    o.message = e.Message();
    o.errorCode = e.ErrorCode();
  } catch (const Exception& e) {
    o.errorClass = e.ClassName();
    o.message = e.Message();
  }
  o.elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - start)
                    .count();
  if (op == Op::GetFile) o.body = testing_support::ReadFile(file);
  o.responseCode = http.ResponseCode();
  o.responseText = http.ResponseText();
  o.contentLength = http.ContentLength();
  o.chunked = http.Chunked();
  return o;
}

struct Case {
  const char* name;
  Op op;
  // The file served at /t/<name>; not served when null.
  const char* content;
  // The rule for /t/<name> as JSON, or null.
  std::string rule;
  // Expected:
  const char* errorClass;  // "" for success
  int responseCode;
  const char* responseText;
  std::int32_t contentLength;  // kAny: not checked
  const char* body;            // null: not checked
};

std::string Path(const Case& c) { return std::string("/t/") + c.name; }

const std::string kTen = "0123456789";

// What a chunked answer gives: `linux` on the Linux port, which checks the
// chunks; on Windows no chunked answer is taken at all.
const char* ChunkedRefused(const char* linux) {
  return OnWindows() ? "EIdHTTPInvalidResponse" : linux;
}

std::vector<Case> Cases() {
  const std::string garbageResponse =
      "HTTP/1.1 200 OK\r\nContent-Length: abc\r\nConnection: close\r\n\r\n";
  // A header line that looks like a status line is no second status line.
  const std::string statusLikeHeader =
      "HTTP/1.1 404 Not Found\r\nHTTP/1.1 200 OK\r\nContent-Length: 0\r\n"
      "Connection: close\r\n\r\n";
  // A reason phrase with a terminal escape sequence, a bell and a DEL.
  const std::string escapeStatus = std::string("HTTP/1.1 404 Not\x1b[2J\x07 Found\x7f\tx\r\n") +
                                   "Content-Length: 0\r\nConnection: close\r\n\r\n";

  return {
      {"ok_head", Op::Head, "0123456789", "", "", 200, "HTTP/1.1 200 OK", 10, nullptr},
      {"ok_get", Op::GetMemory, "0123456789", "", "", 200, "HTTP/1.1 200 OK", 10, "0123456789"},
      {"ok_get_file", Op::GetFile, "0123456789", "", "", 200, "HTTP/1.1 200 OK", 10, "0123456789"},
      {"not_found_head", Op::Head, nullptr, "", "EIdHTTPProtocolException", 404,
       "HTTP/1.1 404 Not Found", kAny, nullptr},
      // The error page of a 404 must not end up in the caller's file.
      {"not_found_get_file", Op::GetFile, nullptr, "", "EIdHTTPProtocolException", 404,
       "HTTP/1.1 404 Not Found", kAny, ""},
      {"redirect", Op::Head, "0123456789", "{\"redirect\": \"/t/redirect_target\"}",
       "EIdHTTPProtocolException", 302, "HTTP/1.1 302 Found", kAny, nullptr},
      {"redirect_get", Op::GetMemory, "0123456789", "{\"redirect\": \"/t/redirect_target\"}",
       "EIdHTTPProtocolException", 302, "HTTP/1.1 302 Found", kAny, ""},
      {"unauthorized", Op::Head, "0123456789", "{\"status\": \"401 Unauthorized\"}",
       "EIdHTTPProtocolException", 401, "HTTP/1.1 401 Unauthorized", kAny, nullptr},
      {"proxy_auth", Op::Head, "0123456789", "{\"status\": \"407 Proxy Authentication Required\"}",
       "EIdHTTPProtocolException", 407, "HTTP/1.1 407 Proxy Authentication Required", kAny,
       nullptr},
      {"server_error", Op::GetMemory, "0123456789",
       "{\"status\": \"500 Internal Server Error\", \"nolength\": true}",
       "EIdHTTPProtocolException", 500, "HTTP/1.1 500 Internal Server Error", -1, ""},
      {"no_content", Op::Head, "0123456789", "{\"status\": \"204 No Content\"}", "", 204,
       "HTTP/1.1 204 No Content", -1, nullptr},
      {"no_content_get", Op::GetMemory, "0123456789", "{\"status\": \"204 No Content\"}", "", 204,
       "HTTP/1.1 204 No Content", -1, ""},
      {"no_length_head", Op::Head, "0123456789", "{\"nolength\": true}", "", 200, "HTTP/1.1 200 OK",
       -1, nullptr},
      {"no_length_get", Op::GetFile, "0123456789", "{\"nolength\": true}", "", 200,
       "HTTP/1.1 200 OK", -1, "0123456789"},
      {"length_int32_max", Op::Head, "0123456789", "{\"length\": 2147483647}", "", 200,
       "HTTP/1.1 200 OK", 2147483647, nullptr},
      {"length_above_int32", Op::Head, "0123456789", "{\"length\": 2147483648}", "", 200,
       "HTTP/1.1 200 OK", -1, nullptr},
      // 2^32 + 10 must not pass for a 10-byte file.
      {"length_wrapping", Op::Head, "0123456789", "{\"length\": 4294967306}", "", 200,
       "HTTP/1.1 200 OK", -1, nullptr},
      {"length_not_a_number", Op::Head, nullptr,
       "{\"garbage\": " + JsonString(garbageResponse) + "}", "", 200, "HTTP/1.1 200 OK", -1,
       nullptr},
      {"cut_body", Op::GetMemory, "0123456789", "{\"cut\": 4}", "EIdConnClosedGracefully", 200,
       "HTTP/1.1 200 OK", 10, nullptr},
      {"cut_body_file", Op::GetFile, "0123456789", "{\"cut\": 4}", "EIdConnClosedGracefully", 200,
       "HTTP/1.1 200 OK", 10, nullptr},
      {"declared_longer", Op::GetMemory, "0123456789", "{\"length\": 11}",
       "EIdConnClosedGracefully", 200, "HTTP/1.1 200 OK", 11, nullptr},
      // A chunked body is whole only with its last chunk. The Windows build
      // asks in HTTP/1.0, to which no server may answer chunked, and takes no
      // byte of a chunked answer, since WinHTTP could not tell a cut one.
      {"chunked", Op::GetFile, kTen.c_str(), "{\"chunked\": 4}", ChunkedRefused(""), 200,
       "HTTP/1.1 200 OK", -1, OnWindows() ? "" : kTen.c_str()},
      {"chunked_cut_0", Op::GetFile, kTen.c_str(), "{\"chunked\": 4, \"cut_chunked\": 0}",
       ChunkedRefused("EIdConnClosedGracefully"), 200, "HTTP/1.1 200 OK", -1, nullptr},
      {"chunked_cut_1", Op::GetFile, kTen.c_str(), "{\"chunked\": 4, \"cut_chunked\": 1}",
       ChunkedRefused("EIdConnClosedGracefully"), 200, "HTTP/1.1 200 OK", -1, nullptr},
      {"chunked_cut_half", Op::GetFile, kTen.c_str(), "{\"chunked\": 4, \"cut_chunked\": 5}",
       ChunkedRefused("EIdConnClosedGracefully"), 200, "HTTP/1.1 200 OK", -1, nullptr},
      {"chunked_cut_at_boundary", Op::GetMemory, kTen.c_str(),
       "{\"chunked\": 4, \"cut_chunked\": 8}", ChunkedRefused("EIdConnClosedGracefully"), 200,
       "HTTP/1.1 200 OK", -1, nullptr},
      {"chunked_all_but_one", Op::GetFile, kTen.c_str(), "{\"chunked\": 4, \"cut_chunked\": 9}",
       ChunkedRefused("EIdConnClosedGracefully"), 200, "HTTP/1.1 200 OK", -1, nullptr},
      {"chunked_no_last_chunk", Op::GetFile, kTen.c_str(), "{\"chunked\": 4, \"cut_chunked\": 10}",
       ChunkedRefused("EIdConnClosedGracefully"), 200, "HTTP/1.1 200 OK", -1, nullptr},
      {"chunked_head", Op::Head, kTen.c_str(), "{\"chunked\": 4}", "", 200, "HTTP/1.1 200 OK", -1,
       nullptr},
      {"status_like_header_head", Op::Head, nullptr,
       "{\"garbage\": " + JsonString(statusLikeHeader) + "}", "EIdHTTPProtocolException", 404,
       "HTTP/1.1 404 Not Found", kAny, nullptr},
      {"status_like_header_get", Op::GetMemory, nullptr,
       "{\"garbage\": " + JsonString(statusLikeHeader) + "}", "EIdHTTPProtocolException", 404,
       "HTTP/1.1 404 Not Found", kAny, ""},
      // Control characters but tab become "?" before anybody can log them.
      {"escape_in_reason", Op::Head, nullptr, "{\"garbage\": " + JsonString(escapeStatus) + "}",
       "EIdHTTPProtocolException", 404, "HTTP/1.1 404 Not?[2J? Found?\tx", 0, nullptr},
      {"garbage", Op::Head, nullptr, "{\"garbage\": \"SSH-2.0-Nothing-Here\\r\\n\"}",
       "EIdHTTPInvalidResponse", -1, "", -1, nullptr},
      {"closed_without_answer", Op::Head, nullptr, "{\"garbage\": \"\"}", "*", -1, "", -1, nullptr},
      // Headers beyond 64 KiB fail the request, but Wine's WinHTTP cuts an
      // over-long header line short and carries on, so there the rest of the
      // response must come through intact instead ("?" below).
      {"big_header", Op::Head, "0123456789", "{\"bigheader\": 80000}", "?EIdHTTPInvalidResponse",
       kAny, nullptr, kAny, nullptr},
      {"huge_header", Op::Head, "0123456789", "{\"bigheader\": 1000000}", "?EIdHTTPInvalidResponse",
       kAny, nullptr, kAny, nullptr},
  };
}

class HttpClientTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string rules = "{";
    bool first = true;
    for (const Case& c : Cases()) {
      if (c.content != nullptr) TestServer::PutFile(Path(c), c.content);
      if (!c.rule.empty()) {
        rules += (first ? "" : ", ") + JsonString(Path(c)) + ": " + c.rule;
        first = false;
      }
    }
    TestServer::PutFile("/t/redirect_target", "target");
    TestServer::PutFile("/t/stall", "0123456789");
    TestServer::PutFile("/t/stall_body", "0123456789");
    TestServer::PutFile("/t/limit", "0123456789");
    TestServer::PutFile("/t/limit_nolength", "0123456789");
    rules += std::string(first ? "" : ", ") +
             "\"/t/limit_nolength\": {\"nolength\": true},"
             "\"/t/stall_headers\": {\"stall_headers\": 3},"
             "\"/t/never\": {\"never\": true},"
             "\"/t/short_stall\": {\"stall_headers\": 0.3},"
             "\"/t/stall_body\": {\"stall_body\": {\"after\": 2, \"seconds\": 3}},"
             "\"/t/big_nolength.bin\": {\"nolength\": true},"
             "\"/t/drip_body\": {\"drip_body\": 100},"
             "\"/t/drip_headers\": {\"drip_headers\": 100},"
             "\"/t/drip_fast\": {\"drip_body\": 5},"
             "\"/t/to_plain\": {\"redirect\": " +
             JsonString(TestServer::Url("/t/redirect_target")) + "}";
    rules += "}";
    TestServer::SetRules(rules);
    TestServer::PutFile("/t/short_stall", "0123456789");
    TestServer::PutFile("/t/drip_body", std::string(200, 'b'));
    TestServer::PutFile("/t/drip_headers", "0123456789");
    TestServer::PutFile("/t/drip_fast", std::string(300, 'f'));
  }

  testing_support::TempDir dir_;
};

TEST_F(HttpClientTest, EachKindOfAnswerGivesItsResultAndKeepsTheResponse) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    const Outcome o = Call(c.op, TestServer::Url(Path(c)), 5000, dir_);
    if (std::string(c.errorClass) == "*") {
      EXPECT_FALSE(o.errorClass.empty()) << "expected some failure";
    } else if (c.errorClass[0] == '?') {
      if (o.errorClass.empty()) {
        EXPECT_EQ(200, o.responseCode);
        EXPECT_EQ(10, o.contentLength);
      } else {
        EXPECT_EQ(c.errorClass + 1, o.errorClass) << o.message;
      }
    } else {
      EXPECT_EQ(c.errorClass, o.errorClass) << o.message;
    }
    if (o.errorClass == "EIdHTTPProtocolException") {
      // The protocol failure carries the status code and the status line.
      EXPECT_EQ(c.responseCode, o.errorCode);
      EXPECT_EQ(c.responseText, o.message);
    } else if (!o.errorClass.empty()) {
      EXPECT_FALSE(o.message.empty());
    }
    if (c.responseCode != kAny) {
      EXPECT_EQ(c.responseCode, o.responseCode);
    }
    if (c.responseText != nullptr) {
      EXPECT_EQ(c.responseText, o.responseText);
    }
    if (c.contentLength != kAny) {
      EXPECT_EQ(c.contentLength, o.contentLength);
    }
    if (c.body != nullptr) {
      EXPECT_EQ(c.body, o.body);
    }
    // Whatever the server sent, what reaches a caller (and so the log) is
    // printable.
    EXPECT_EQ(PrintableText(o.responseText), o.responseText);
    EXPECT_EQ(PrintableText(o.message), o.message);
    EXPECT_LT(o.elapsedMs, 4000) << "no case here may wait for a time limit";
  }
}

// Whether the last answer declared a chunked body, also when the body was
// refused or cut (the maker's check names such a server).
TEST_F(HttpClientTest, TellsWhetherTheAnswerWasChunked) {
  const struct {
    const char* path;
    Op op;
    bool chunked;
  } rows[] = {
      {"/t/ok_get", Op::GetMemory, false},        {"/t/ok_head", Op::Head, false},
      {"/t/chunked", Op::GetFile, true},          {"/t/chunked_head", Op::Head, true},
      {"/t/chunked_cut_half", Op::GetFile, true}, {"/t/not_found_head", Op::Head, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.path);
    EXPECT_EQ(Call(r.op, TestServer::Url(r.path), 5000, dir_).chunked, r.chunked);
  }
}

TEST_F(HttpClientTest, SendsTheMethodAskedForAndNeverFollowsARedirect) {
  const std::size_t targetBefore = TestServer::CountRequests("GET /t/redirect_target") +
                                   TestServer::CountRequests("HEAD /t/redirect_target");
  const std::size_t headBefore = TestServer::CountRequests("HEAD /t/ok_head");
  const std::size_t getBefore = TestServer::CountRequests("GET /t/ok_get");
  Call(Op::Head, TestServer::Url("/t/redirect"), 5000, dir_);
  Call(Op::GetMemory, TestServer::Url("/t/redirect_get"), 5000, dir_);
  Call(Op::Head, TestServer::Url("/t/ok_head"), 5000, dir_);
  Call(Op::GetMemory, TestServer::Url("/t/ok_get"), 5000, dir_);
  EXPECT_EQ(targetBefore, TestServer::CountRequests("GET /t/redirect_target") +
                              TestServer::CountRequests("HEAD /t/redirect_target"));
  EXPECT_EQ(headBefore + 1, TestServer::CountRequests("HEAD /t/ok_head"));
  EXPECT_EQ(getBefore + 1, TestServer::CountRequests("GET /t/ok_get"));
}

TEST_F(HttpClientTest, FailuresWithoutAResponse) {
  struct Row {
    const char* name;
    std::string url;
    const char* errorClass;
  };
  const std::vector<Row> rows = {
      {"refused", TestServer::RefusingUrl("/t/ok_head"), "EIdSocketError"},
      {"not_http", "ftp://127.0.0.1/t/ok_head", "EIdInvalidURL"},
      {"no_url", "", "EIdInvalidURL"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const Outcome o = Call(Op::Head, r.url, 5000, dir_);
    EXPECT_EQ(r.errorClass, o.errorClass) << o.message;
    EXPECT_FALSE(o.message.empty());
    EXPECT_EQ(-1, o.responseCode);
    EXPECT_EQ("", o.responseText);
    EXPECT_LT(o.elapsedMs, 3000);
  }
}

// A server that stops sending is given up on after the read time limit, not
// after the stall; one that pauses for less than the limit is waited for.
TEST_F(HttpClientTest, StallsBeyondTheReadLimitTimeOut) {
  struct Row {
    const char* name;
    const char* path;
    Op op;
    std::int32_t limitMs;
    const char* errorClass;
    int responseCode;
  };
  const std::vector<Row> rows = {
      {"stall_before_headers", "/t/stall_headers", Op::Head, 700, "EIdReadTimeout", -1},
      {"never_answers", "/t/never", Op::Head, 700, "EIdReadTimeout", -1},
      {"stall_in_body", "/t/stall_body", Op::GetMemory, 700, "EIdReadTimeout", 200},
      {"short_stall_within_limit", "/t/short_stall", Op::Head, 2000, "", 200},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const Outcome o = Call(r.op, TestServer::Url(r.path), r.limitMs, dir_);
    EXPECT_EQ(r.errorClass, o.errorClass) << o.message;
    EXPECT_EQ(r.responseCode, o.responseCode);
    if (*r.errorClass != '\0') {
      EXPECT_GE(o.elapsedMs, r.limitMs - 50);
      EXPECT_LT(o.elapsedMs, 2500) << "the limit is per wait, and the stall lasts 3 s";
    }
  }
}

// A NUL byte anywhere in the response head, with and without a limit on the
// whole: the call ends at once rather than waiting out a limit, a damaged
// status line is a failure, and what a caller gets is printable. (libcurl
// refuses every such response; WinHTTP reads a reason phrase or a header
// value up to the NUL.)
TEST_F(HttpClientTest, ANulInTheResponseHeadEndsTheCallAtOnce) {
  struct Row {
    const char* name;
    std::string head;
    Op op;
    std::int32_t totalMs;
    bool statusDamaged;
  };
  const std::string nul(1, '\0');
  const std::string rest = "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  const std::vector<Row> rows = {
      {"in the reason phrase", "HTTP/1.1 500 Bad" + nul + "Thing" + rest, Op::Head, 0, false},
      {"in the reason phrase, limit on the whole", "HTTP/1.1 500 Bad" + nul + "Thing" + rest,
       Op::Head, 2000, false},
      {"in the reason phrase of a 200", "HTTP/1.1 200 O" + nul + "K" + rest, Op::GetFile, 0, false},
      {"in a header value", "HTTP/1.1 200 OK\r\nX-Note: a" + nul + "b" + rest, Op::GetMemory, 0,
       false},
      {"in the status code", "HTTP/1.1 2" + nul + "0 OK" + rest, Op::Head, 0, true},
      {"in the version", "HTTP/1" + nul + "1 200 OK" + rest, Op::GetMemory, 0, true},
      {"as the first byte", nul + "HTTP/1.1 200 OK" + rest, Op::GetFile, 0, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    Limits limits;
    limits.totalMs = r.totalMs;
    // Rules of the suite stay; this path gets one of its own.
    TestServer::SetRules("{\"/t/nul_status\": {\"garbage\": " + JsonString(r.head) + "}}");
    const Outcome o = Call(r.op, TestServer::Url("/t/nul_status"), 5000, dir_, limits);
    SetUpTestSuite();
    if (r.statusDamaged) {
      EXPECT_FALSE(o.errorClass.empty()) << "a response without a status line passed";
      EXPECT_NE(200, o.responseCode);
    }
    EXPECT_EQ(PrintableText(o.responseText), o.responseText);
    EXPECT_EQ(PrintableText(o.message), o.message);
    EXPECT_LT(o.elapsedMs, 3500) << "the call waited for a limit";
  }
}

// A server that sends a byte now and then never lets a single wait run out;
// the low-speed rule and the limit on the whole end such transfers anyway.
// The limits are short here; the program's own are 1 KiB/s over 60 s, and
// the probe's Timeout for the whole.
TEST_F(HttpClientTest, TricklingServersAreBoundedByTheLowSpeedRuleAndTheTotalLimit) {
  struct Row {
    const char* name;
    const char* path;
    Op op;
    Limits limits;
    const char* errorClass;
    long long minMs;  // the failure may not come before this
    long long maxMs;  // and must have come by this
  };
  const std::vector<Row> rows = {
      // 10 bytes a second against a rule of 1000 over 2 s.
      {"slow_body_to_memory",
       "/t/drip_body",
       Op::GetMemory,
       {0, 1000, 2},
       "EIdReadTimeout",
       1900,
       4500},
      {"slow_body_to_file",
       "/t/drip_body",
       Op::GetFile,
       {0, 1000, 2},
       "EIdReadTimeout",
       1900,
       4500},
      // About 150 bytes a second, above a rule of 20 over 1 s: it runs to the end.
      {"fast_enough_body", "/t/drip_fast", Op::GetMemory, {0, 20, 1}, "", 1000, 6000},
      // Headers at 10 bytes a second take about 10 s; the whole may take 1.5 s.
      {"trickling_headers_head",
       "/t/drip_headers",
       Op::Head,
       {1500, 0, 0},
       "EIdReadTimeout",
       1400,
       3000},
      {"trickling_body_get",
       "/t/drip_body",
       Op::GetFile,
       {1500, 0, 0},
       "EIdReadTimeout",
       1400,
       3000},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const Outcome o = Call(r.op, TestServer::Url(r.path), 5000, dir_, r.limits);
    EXPECT_EQ(r.errorClass, o.errorClass) << o.message;
    EXPECT_GE(o.elapsedMs, r.minMs);
    EXPECT_LT(o.elapsedMs, r.maxMs);
    if (*r.errorClass == '\0') {
      EXPECT_EQ(std::string(300, 'f'), o.body);
    }
  }
}

TEST_F(HttpClientTest, DownloadIsStreamedIntoTheFileByteForByte) {
  // Big enough to arrive in many pieces, with every byte value in it.
  std::string payload;
  payload.reserve(3 * 1024 * 1024 + 7);
  std::uint32_t x = 12345;
  while (payload.size() < 3 * 1024 * 1024 + 7) {
    x = x * 1103515245u + 12345u;
    payload += static_cast<char>(x >> 24);
  }
  TestServer::PutFile("/t/big.bin", payload);
  TestServer::PutFile("/t/big_nolength.bin", payload);
  for (const char* path : {"/t/big.bin", "/t/big_nolength.bin"}) {
    SCOPED_TRACE(path);
    const Outcome o = Call(Op::GetFile, TestServer::Url(path), 5000, dir_);
    EXPECT_EQ("", o.errorClass) << o.message;
    ASSERT_EQ(payload.size(), o.body.size());
    EXPECT_TRUE(payload == o.body) << "the file differs from the served bytes";
  }
}

TEST_F(HttpClientTest, ReceiverFailuresBecomeErrorsOfTheirOwn) {
  // A file that cannot be written to: the write error is the caller's to see.
  const std::string path = dir_ / "readonly.bin";
  testing_support::WriteFile(path, "old");
  platform::File stream;
  ASSERT_TRUE(stream.Open(path, platform::File::Mode::OpenRead, platform::File::Share::ReadWrite));
  TIdHTTP http;
  try {
    http.Get(TestServer::Url("/t/ok_get"), stream);
    ADD_FAILURE() << "a write into a read-only file passed";
  } catch (const Exception& e) {
    EXPECT_STREQ("EWriteError", e.ClassName()) << e.Message();
  }
  EXPECT_EQ(200, http.ResponseCode());

  // A body too large to hold in memory.
  TestServer::PutFile("/t/too_big", std::string(TIdHTTP::kMaxMemoryBody + 1, 'x'));
  try {
    http.Get(TestServer::Url("/t/too_big"));
    ADD_FAILURE() << "an oversized body was taken into memory";
  } catch (const Exception& e) {
    EXPECT_STREQ("EIdHTTPInvalidResponse", e.ClassName()) << e.Message();
  }

  // A caller's own, smaller limit: exactly at it passes, one byte more fails.
  TestServer::PutFile("/t/sixteen", std::string(16, 's'));
  EXPECT_EQ(std::string(16, 's'), http.Get(TestServer::Url("/t/sixteen"), 16));
  try {
    http.Get(TestServer::Url("/t/sixteen"), 15);
    ADD_FAILURE() << "a body above the caller's limit was taken into memory";
  } catch (const Exception& e) {
    EXPECT_STREQ("EIdHTTPInvalidResponse", e.ClassName()) << e.Message();
    EXPECT_EQ("Response body larger than 15 bytes", e.Message());
  }
}

// https against the update server with --tls and a throw-away authority:
// only a certificate the system trusts, for this host and still valid, gives
// a transfer; everything else fails before a request is sent, as a socket
// error of its own kind. Redirects stay unfollowed, so nothing leads from
// https down to plain HTTP.
TEST_F(HttpClientTest, HttpsOnlyWithATrustedValidCertificateForThisHost) {
  using testing_support::SideServer;
  using testing_support::TestTls;
  const TestTls tls =
      testing_support::MakeTestTls(TestServer::Root() + platform::kPathDelim + "tls-client");
  ASSERT_TRUE(tls.ok);
  // A second authority that nobody trusts. WinHTTP under Wine reads the
  // trusted roots once per process, so the test trusts its authority before
  // the first TLS connection and shows the unknown authority with another one.
  const TestTls untrusted =
      testing_support::MakeTestTls(TestServer::Root() + platform::kPathDelim + "tls-untrusted");
  ASSERT_TRUE(untrusted.ok);
  const testing_support::TrustedTestCa trust(tls);
  const std::string key = " " + testing_support::ShellQuote(tls.UnixPath("server.key"));
  SideServer good(TestServer::Root(),
                  "--tls " + testing_support::ShellQuote(tls.UnixPath("good.pem")) + key);
  SideServer wrongHost(TestServer::Root(),
                       "--tls " + testing_support::ShellQuote(tls.UnixPath("wronghost.pem")) + key);
  SideServer expired(TestServer::Root(),
                     "--tls " + testing_support::ShellQuote(tls.UnixPath("expired.pem")) + key);
  SideServer unknown(TestServer::Root(),
                     "--tls " + testing_support::ShellQuote(untrusted.UnixPath("good.pem")) + " " +
                         testing_support::ShellQuote(untrusted.UnixPath("server.key")));
  for (const SideServer* server : {&good, &wrongHost, &expired, &unknown}) {
    ASSERT_TRUE(server->Started()) << server->Error();
  }
  const auto https = [](const SideServer& server, const std::string& path) {
    return "https://127.0.0.1:" + std::to_string(server.Port()) + path;
  };
  const std::string plainPort = TestServer::Base().substr(TestServer::Base().rfind(':'));

  struct Row {
    const char* name;
    std::string url;
    Op op;
    const char* errorClass;  // "*": any failure that is no protocol failure
    int responseCode;
    const char* body;
  };
  const std::vector<Row> rows = {
      {"unknown authority", https(unknown, "/t/ok_get"), Op::GetMemory, "EIdSecureConnectionError",
       -1, nullptr},
      {"https to a plain HTTP server", "https://127.0.0.1" + plainPort + "/t/ok_get", Op::GetMemory,
       "*", -1, nullptr},
      {"plain HTTP to an https server",
       "http://127.0.0.1:" + std::to_string(good.Port()) + "/t/ok_get", Op::Head, "*", -1, nullptr},
      {"trusted", https(good, "/t/ok_get"), Op::GetMemory, "", 200, "0123456789"},
      {"trusted, HEAD", https(good, "/t/ok_head"), Op::Head, "", 200, nullptr},
      {"trusted, into a file", https(good, "/t/ok_get_file"), Op::GetFile, "", 200, "0123456789"},
      {"trusted, host name localhost",
       "https://localhost:" + std::to_string(good.Port()) + "/t/ok_get", Op::GetMemory, "", 200,
       "0123456789"},
      {"trusted, 404", https(good, "/t/missing"), Op::GetMemory, "EIdHTTPProtocolException", 404,
       ""},
      {"trusted, cut body", https(good, "/t/cut_body"), Op::GetMemory, "EIdConnClosedGracefully",
       200, nullptr},
      {"redirect to plain HTTP is not followed", https(good, "/t/to_plain"), Op::GetMemory,
       "EIdHTTPProtocolException", 302, ""},
      {"certificate for another host", https(wrongHost, "/t/ok_get"), Op::GetMemory,
       "EIdSecureConnectionError", -1, nullptr},
      {"expired certificate", https(expired, "/t/ok_get"), Op::GetMemory,
       "EIdSecureConnectionError", -1, nullptr},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const std::size_t targetBefore = TestServer::CountRequests("GET /t/redirect_target");
    const Outcome o = Call(r.op, r.url, 5000, dir_);
    if (std::string(r.errorClass) == "*") {
      EXPECT_NE("", o.errorClass) << r.name;
      EXPECT_NE("EIdHTTPProtocolException", o.errorClass) << r.name << ": " << o.message;
    } else {
      EXPECT_EQ(r.errorClass, o.errorClass) << r.name << ": " << o.message;
    }
    if (!o.errorClass.empty()) {
      EXPECT_NE("", o.message) << r.name;
    }
    EXPECT_EQ(r.responseCode, o.responseCode) << r.name;
    if (r.body != nullptr) {
      EXPECT_EQ(r.body, o.body) << r.name;
    }
    EXPECT_EQ(targetBefore, TestServer::CountRequests("GET /t/redirect_target")) << r.name;
    EXPECT_LT(o.elapsedMs, 4000) << r.name;
  }
}

}  // namespace

// A body fetched into a file stops one byte past the caller's limit, with or
// without a declared length: however long the server streams, the file never
// holds more, and the call fails. A body within the limit is taken whole.
TEST_F(HttpClientTest, AFileBodyStopsOneBytePastTheLimit) {
  struct Row {
    const char* path;
    std::int64_t limit;
    const char* kept;  // what the file holds afterwards
    bool refused;
  };
  const Row rows[] = {
      {"/t/limit", 4, "01234", true},          {"/t/limit", 9, "0123456789", true},
      {"/t/limit", 10, "0123456789", false},   {"/t/limit_nolength", 0, "0", true},
      {"/t/limit_nolength", 4, "01234", true}, {"/t/limit_nolength", 10, "0123456789", false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.path) + " limit " + std::to_string(r.limit));
    const std::string file = dir_ / "limited.bin";
    std::string error;
    {
      platform::File stream;
      ASSERT_TRUE(
          stream.Open(file, platform::File::Mode::CreateAlways, platform::File::Share::None));
      TIdHTTP http;
      try {
        http.Get(TestServer::Url(r.path), stream, r.limit);
      } catch (const Exception& e) {
        error = std::string(e.ClassName()) + ": " + e.Message();
      }
    }
    EXPECT_EQ(testing_support::ReadFile(file), r.kept);
    if (r.refused) {
      EXPECT_EQ(error.rfind("EIdHTTPInvalidResponse: Response body longer than " +
                                std::to_string(r.limit) + " bytes",
                            0),
                0u)
          << error;
    } else {
      EXPECT_EQ(error, "");
    }
  }
}

// A forward proxy (the update server with --proxy) set for the system
// carries every request; one that refuses gives a protocol failure like any
// other status; with the setting gone the client goes direct again.
TEST_F(HttpClientTest, RequestsGoThroughTheSystemsProxy) {
  using testing_support::SideServer;
  using testing_support::SystemProxy;
  const char d = platform::kPathDelim;
  const std::string proxyRoot = TestServer::Root() + d + "proxy-root";
  testing_support::MakeDirs(proxyRoot);
  SideServer proxy(proxyRoot, "--proxy");
  SideServer refusing(proxyRoot, "--proxy-status '407 Proxy Authentication Required'");
  SideServer badGateway(proxyRoot, "--proxy-status '502 Bad Gateway'");
  for (const SideServer* server : {&proxy, &refusing, &badGateway}) {
    ASSERT_TRUE(server->Started()) << server->Error();
  }
  const auto proxied = [&proxyRoot](const std::string& line) {
    const std::string log = proxyRoot + platform::kPathDelim + ".requests.log";
    const std::string text = testing_support::Exists(log) ? testing_support::ReadFile(log) : "";
    std::size_t n = 0;
    for (std::size_t at = 0; (at = text.find(line + "\n", at)) != std::string::npos; ++at) ++n;
    return n;
  };
  const std::string url = TestServer::Url("/t/ok_get");

  struct Row {
    const char* name;
    const SideServer* via;  // null: no proxy set
    const char* errorClass;
    int responseCode;
    bool throughProxy;  // the request reached the proxy
  };
  const std::vector<Row> rows = {
      {"no proxy set", nullptr, "", 200, false},
      {"proxy", &proxy, "", 200, true},
      {"proxy refuses without credentials", &refusing, "EIdHTTPProtocolException", 407, true},
      {"proxy cannot reach the server", &badGateway, "EIdHTTPProtocolException", 502, true},
      {"proxy setting removed again", nullptr, "", 200, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    std::unique_ptr<SystemProxy> system;
    if (r.via) system = std::make_unique<SystemProxy>(r.via->Port());
    const std::size_t atProxy = proxied("GET " + url);
    const std::size_t atServer = TestServer::CountRequests("GET /t/ok_get");
    const Outcome o = Call(Op::GetMemory, url, 5000, dir_);
    EXPECT_EQ(r.errorClass, o.errorClass) << r.name << ": " << o.message;
    EXPECT_EQ(r.responseCode, o.responseCode) << r.name;
    if (o.errorClass.empty()) {
      EXPECT_EQ("0123456789", o.body) << r.name;
    }
    EXPECT_EQ(atProxy + (r.throughProxy ? 1 : 0), proxied("GET " + url))
        << r.name << ": the proxy saw\n"
        << (testing_support::Exists(proxyRoot + d + ".requests.log")
                ? testing_support::ReadFile(proxyRoot + d + ".requests.log")
                : std::string("nothing"));
    // What reached the server came either straight or through the working
    // proxy; a refusing proxy passes nothing on.
    EXPECT_EQ(atServer + (r.via == &proxy || !r.via ? 1 : 0),
              TestServer::CountRequests("GET /t/ok_get"))
        << r.name;
  }
}

// An https address through a proxy: the client asks the proxy for a tunnel
// (CONNECT), and a proxy that refuses answers with a status of its own, which
// is a protocol failure like any other status.
TEST_F(HttpClientTest, ProxyThatRefusesATunnelGivesItsStatus) {
  const char d = platform::kPathDelim;
  const std::string proxyRoot = TestServer::Root() + d + "proxy-tunnel";
  testing_support::MakeDirs(proxyRoot);
  testing_support::SideServer refusing(proxyRoot,
                                       "--proxy-status '407 Proxy Authentication Required'");
  ASSERT_TRUE(refusing.Started()) << refusing.Error();
  Outcome o;
  {
    testing_support::SystemProxy system(refusing.Port());
    // Port 1: nothing listens there, so only the proxy can answer.
    o = Call(Op::GetMemory, "https://127.0.0.1:1/t/ok_get", 5000, dir_);
  }
  if (OnWindows()) {
    // Wine's WinHTTP does not hand on a proxy's answer to CONNECT: it fails
    // the request as a secure-channel error (12157) instead. Windows itself
    // returns the proxy's response. Either way nothing is transferred.
    EXPECT_NE("", o.errorClass);
    EXPECT_NE(200, o.responseCode);
  } else {
    EXPECT_EQ("EIdHTTPProtocolException", o.errorClass) << o.message;
    EXPECT_EQ(407, o.responseCode);
    EXPECT_EQ("HTTP/1.1 407 Proxy Authentication Required", o.responseText);
  }
  const std::string log = proxyRoot + d + ".requests.log";
  EXPECT_EQ("CONNECT 127.0.0.1:1\n",
            testing_support::Exists(log) ? testing_support::ReadFile(log) : "nothing");
}

// The Linux port takes no_proxy as libcurl reads it: a listed host is
// reached directly although a proxy is set.
TEST_F(HttpClientTest, NoProxyListIsHonoured) {
  if (OnWindows()) GTEST_SKIP() << "the environment is the Linux port's setting";
  const std::string proxyRoot = TestServer::Root() + "/proxy-bypass";
  testing_support::MakeDirs(proxyRoot);
  testing_support::SideServer proxy(proxyRoot, "--proxy");
  ASSERT_TRUE(proxy.Started()) << proxy.Error();
  Outcome o;
  {
    const testing_support::ScopedEnv httpProxy("http_proxy",
                                               "http://127.0.0.1:" + std::to_string(proxy.Port()));
    const testing_support::ScopedEnv noProxy("no_proxy", "127.0.0.1");
    o = Call(Op::GetMemory, TestServer::Url("/t/ok_get"), 5000, dir_);
  }
  EXPECT_EQ("", o.errorClass) << o.message;
  EXPECT_FALSE(testing_support::Exists(proxyRoot + "/.requests.log")) << "the proxy was used";
}
