// The process's connection pool against the real update server on loopback:
// one connection for a run of requests to a server that keeps it open, the
// same as before for a server that closes after every answer, a kept-alive
// connection that the server dropped replaced without the caller seeing it
// (at most once, and never after an answer began), and idle connections
// closed on request.
//
// Wine's WinHTTP differs from Windows' in that its pool of kept connections
// is one for the whole process, and no session's close reaches it: an idle
// connection closes 30 s after its last answer, at the next turn of a
// collector that runs every 5 s (measured with Wine 8.0). Each case therefore
// talks to a server of its own, so that no connection kept for an earlier case
// carries its requests.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "connection/IdHTTP.h"
#include "platform/files.h"
#include "platform/sysinfo.h"
#include "support/testing.h"
#include "support/trust.h"
#include "support/update_server.h"
#include "support/xdotool.h"

namespace {

using testing_support::Exists;
using testing_support::JoinPath;
using testing_support::ReadFile;
using testing_support::RemoveAll;
using testing_support::ShellQuote;
using testing_support::SideServer;
using testing_support::TestServer;

// The server's record of its connections (".connections.log": "open N" and
// "closed N" lines), as counts.
struct Connections {
  int opened = 0;
  int closed = 0;
};

std::string ConnectionsLog() { return JoinPath({TestServer::Root(), ".connections.log"}); }

Connections ServerConnections() {
  Connections c;
  if (!Exists(ConnectionsLog())) return c;
  const std::string text = ReadFile(ConnectionsLog());
  std::size_t at = 0;
  for (std::size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string line = text.substr(at, end - at);
    if (line.rfind("open ", 0) == 0) ++c.opened;
    if (line.rfind("closed ", 0) == 0) ++c.closed;
  }
  return c;
}

bool UnderWine() { return testing_support::OnWindows(); }

// The server notices a connection's end when its read returns, a moment after
// the client closed it; this waits for that, a few seconds at most, or under
// Wine as long as its pool keeps an idle connection (30 s and a turn of 5 s).
Connections ServerConnectionsOnceClosed() {
  const int turns = UnderWine() ? 800 : 100;
  Connections c = ServerConnections();
  for (int i = 0; i < turns && c.closed < c.opened; ++i) {
    platform::SleepMs(50);
    c = ServerConnections();
  }
  return c;
}

// A request of the client, and what it came to: "" for success, else the
// error's class name.
enum class Op { Head, Get };
struct Step {
  Op op;
  const char* path;
  const char* expected;
};

std::string Request(const std::string& base, const Step& s) {
  TIdHTTP http;
  try {
    if (s.op == Op::Head) {
      http.Head(base + s.path);
    } else {
      http.Get(base + s.path);
    }
  } catch (const Exception& e) {
    return e.ClassName();
  }
  return "";
}

class ConnectionPoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Nothing left over from earlier cases: each starts without a pooled
    // connection and with an empty record.
    TIdHTTP::CloseIdleConnections();
    // Under Wine a kept connection outlives this; its server, stopped with
    // its case, writes no more to the record.
    if (!UnderWine()) ServerConnectionsOnceClosed();
    RemoveAll(ConnectionsLog());
    TestServer::SetRules("{}");
    TestServer::PutFile("/p/probe.txt", "5.1.5.203\r\n");
    TestServer::PutFile("/p/companion.exe", std::string(3000, 'c'));
    TestServer::PutFile("/p/versie.txt", "2.0\r\n");
  }
  void TearDown() override {
    TIdHTTP::CloseIdleConnections();
    TestServer::SetRules("{}");
  }
};

// The requests of an update start, in its order.
const std::vector<Step> kStart = {{Op::Head, "/p/probe.txt", ""},
                                  {Op::Head, "/p/companion.exe", ""},
                                  {Op::Get, "/p/versie.txt", ""},
                                  {Op::Get, "/p/companion.exe", ""}};

TEST_F(ConnectionPoolTest, ARunOfRequestsTakesOneConnectionWhereTheServerKeepsItOpen) {
  struct Case {
    const char* name;
    const char* serverArgs;  // null: the test's own server, which closes after every answer
    int connections;
  };
  const Case cases[] = {
      {"keep-alive server", "--keep-alive", 1},
      {"server that closes after every answer", nullptr, static_cast<int>(kStart.size())},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    std::unique_ptr<SideServer> side;
    std::string base = TestServer::Base();
    if (c.serverArgs != nullptr) {
      side = std::make_unique<SideServer>(TestServer::Root(), c.serverArgs);
      ASSERT_TRUE(side->Started()) << side->Error();
      base = "http://127.0.0.1:" + std::to_string(side->Port());
    }
    for (const Step& s : kStart) EXPECT_EQ(Request(base, s), s.expected) << s.path;
    TIdHTTP::CloseIdleConnections();
    // Under Wine the kept connection closes in Wine's own time, which
    // IdleConnectionsCloseOnRequest waits for.
    const Connections seen = UnderWine() ? ServerConnections() : ServerConnectionsOnceClosed();
    EXPECT_EQ(seen.opened, c.connections);
    if (!UnderWine()) {
      EXPECT_EQ(seen.closed, seen.opened) << "a connection stayed open";
    }
  }
}

// The server drops the connection it kept open for the client: right after
// its answer, or just as the next request comes in. The client sends that
// request once more on a new connection and the caller sees a plain success,
// unless the server had begun an answer, or drops the new connection too.
TEST_F(ConnectionPoolTest, AConnectionTheServerDroppedIsReplacedAtMostOnce) {
  struct Case {
    const char* name;
    const char* rules;
    Step second;
    std::size_t secondSent;  // how often the server saw the second request
    int connections;
  };
  const Case cases[] = {
      {"closed right after the first answer",
       R"({"/p/probe.txt": {"close_after": true}})",
       {Op::Head, "/p/companion.exe", ""},
       1,
       2},
      {"dropped as the next request came, HEAD",
       R"({"/p/companion.exe": {"drop_reused": true}})",
       {Op::Head, "/p/companion.exe", ""},
       2,
       2},
      {"dropped as the next request came, GET",
       R"({"/p/versie.txt": {"drop_reused": true}})",
       {Op::Get, "/p/versie.txt", ""},
       2,
       2},
      {"dropped on the new connection too",
       R"({"/p/versie.txt": {"garbage": ""}})",
       {Op::Get, "/p/versie.txt", "EIdConnClosedGracefully"},
       2,
       2},
      {"an answer had begun",
       R"({"/p/versie.txt": {"garbage": "HTTP/1.1 200"}})",
       {Op::Get, "/p/versie.txt", "*"},
       1,
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    SideServer server(TestServer::Root(), "--keep-alive");
    ASSERT_TRUE(server.Started()) << server.Error();
    const std::string base = "http://127.0.0.1:" + std::to_string(server.Port());
    const char* expected = c.second.expected;
    TestServer::SetRules(c.rules);
    const std::string secondLine =
        std::string(c.second.op == Op::Head ? "HEAD " : "GET ") + c.second.path;
    const std::size_t before = TestServer::CountRequests(secondLine);
    EXPECT_EQ(Request(base, {Op::Head, "/p/probe.txt", ""}), "");
    const std::string result = Request(base, c.second);
    if (std::string(expected) == "*") {
      EXPECT_NE(result, "") << "a cut answer was taken for a whole one";
    } else {
      EXPECT_EQ(result, expected);
    }
    EXPECT_EQ(TestServer::CountRequests(secondLine) - before, c.secondSent);
    TIdHTTP::CloseIdleConnections();
    EXPECT_EQ(ServerConnections().opened, c.connections);
  }
}

TEST_F(ConnectionPoolTest, IdleConnectionsCloseOnRequest) {
  SideServer server(TestServer::Root(), "--keep-alive");
  ASSERT_TRUE(server.Started()) << server.Error();
  const std::string base = "http://127.0.0.1:" + std::to_string(server.Port());
  EXPECT_EQ(Request(base, {Op::Head, "/p/probe.txt", ""}), "");
  // The server holds the connection for the next request...
  Connections seen = ServerConnections();
  EXPECT_EQ(seen.opened, 1);
  EXPECT_EQ(seen.closed, 0);
  // ...until the client lets it go (under Wine: until Wine's pool does, in
  // its own time).
  TIdHTTP::CloseIdleConnections();
  seen = ServerConnectionsOnceClosed();
  EXPECT_EQ(seen.opened, 1);
  EXPECT_EQ(seen.closed, 1);
  // A later request opens a new one.
  EXPECT_EQ(Request(base, {Op::Head, "/p/probe.txt", ""}), "");
  EXPECT_EQ(ServerConnections().opened, 2);
}

// Over TLS the same: one connection for the start, and a kept connection the
// server dropped as the next request came is replaced unseen.
TEST_F(ConnectionPoolTest, OverHttpsTheStartTakesOneConnectionToo) {
  const testing_support::TestTls tls =
      testing_support::MakeTestTls(JoinPath({TestServer::Root(), "tls-pool"}));
  ASSERT_TRUE(tls.ok);
  const testing_support::TrustedTestCa trust(tls);
  SideServer server(TestServer::Root(), "--keep-alive --tls " +
                                            ShellQuote(tls.UnixPath("good.pem")) + " " +
                                            ShellQuote(tls.UnixPath("server.key")));
  ASSERT_TRUE(server.Started()) << server.Error();
  const std::string base = "https://127.0.0.1:" + std::to_string(server.Port());
  for (const Step& s : kStart) EXPECT_EQ(Request(base, s), s.expected) << s.path;
  TIdHTTP::CloseIdleConnections();
  EXPECT_EQ(ServerConnections().opened, 1);

  SetUp();
  SideServer dropping(TestServer::Root(), "--keep-alive --tls " +
                                              ShellQuote(tls.UnixPath("good.pem")) + " " +
                                              ShellQuote(tls.UnixPath("server.key")));
  ASSERT_TRUE(dropping.Started()) << dropping.Error();
  const std::string droppingBase = "https://127.0.0.1:" + std::to_string(dropping.Port());
  TestServer::SetRules(R"({"/p/versie.txt": {"drop_reused": true}})");
  const std::size_t before = TestServer::CountRequests("GET /p/versie.txt");
  EXPECT_EQ(Request(droppingBase, {Op::Head, "/p/probe.txt", ""}), "");
  EXPECT_EQ(Request(droppingBase, {Op::Get, "/p/versie.txt", ""}), "");
  EXPECT_EQ(TestServer::CountRequests("GET /p/versie.txt") - before, 2u);
  TIdHTTP::CloseIdleConnections();
  EXPECT_EQ(ServerConnections().opened, 2);
}

// The probe's whole request ends within its limit, a send on a new
// connection after a dropped kept one included: here the server drops the
// kept connection as the request comes, then answers the new one too late.
TEST_F(ConnectionPoolTest, TheSecondSendStaysWithinTheRequestsTotalLimit) {
  SideServer server(TestServer::Root(), "--keep-alive");
  ASSERT_TRUE(server.Started()) << server.Error();
  const std::string base = "http://127.0.0.1:" + std::to_string(server.Port());
  TestServer::SetRules(R"({"/p/versie.txt": {"drop_reused": true, "stall_headers": 6}})");
  EXPECT_EQ(Request(base, {Op::Head, "/p/probe.txt", ""}), "");
  const std::size_t before = TestServer::CountRequests("HEAD /p/versie.txt");
  TIdHTTP http;
  http.TotalTimeout = 2000;
  std::string error;
  const auto start = std::chrono::steady_clock::now();
  try {
    http.Head(base + "/p/versie.txt");
  } catch (const Exception& e) {
    error = e.ClassName();
  }
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  EXPECT_EQ(error, "EIdReadTimeout");
  EXPECT_EQ(TestServer::CountRequests("HEAD /p/versie.txt") - before, 2u);
  EXPECT_LT(ms, 4000) << "the second send was given a limit of its own";
}

}  // namespace
