// The connection probe thread and the Internet tester against the real
// update server on loopback: the result of TestConnection, the probe's two
// bytes and its log lines for each way the server can answer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "connection/UpdateServer.h"
#include "connection/u_InternetTester.h"
#include "connection/u_TestThread.h"
#include "platform/gui.h"
#include "support/testing.h"
#include "support/u_Utility.h"
#include "support/update_server.h"

namespace {

using testing_support::JsonString;
using testing_support::TempDir;
using testing_support::TestServer;
using Clock = std::chrono::steady_clock;

const char* const kProbePath = "/software/versie.txt";
constexpr std::size_t kPrefixLength = 79;
// The tester counts whole ticks of a millisecond counter (of up to 16 ms on
// Windows), so a deadline may be seen that much earlier on a finer clock.
constexpr long long kTickGrain = 20;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A tick counter that stands a little before its wrap at 2^32 when a test
// begins, so that the wrap falls inside the probe or the tester's wait.
std::atomic<std::uint32_t> gTickOffset{0};
std::uint32_t TicksNearWrap() { return platform::TickCount() + gTickOffset.load(); }
void WrapIn(std::uint32_t ms) { gTickOffset = 0u - platform::TickCount() - ms; }

// "H:MM:SS.mmm" back to milliseconds, -1 when the text has another shape.
long long ParseDuration(const std::string& s) {
  const std::string::size_type c1 = s.find(':');
  if (c1 == std::string::npos || s.size() != c1 + 10 || s[c1 + 3] != ':' || s[c1 + 6] != '.') {
    return -1;
  }
  for (std::string::size_type i = 0; i < s.size(); ++i) {
    if (i == c1 || i == c1 + 3 || i == c1 + 6) continue;
    if (s[i] < '0' || s[i] > '9') return -1;
  }
  return std::stoll(s.substr(0, c1)) * 3600000 + std::stoll(s.substr(c1 + 1, 2)) * 60000 +
         std::stoll(s.substr(c1 + 4, 2)) * 1000 + std::stoll(s.substr(c1 + 7, 3));
}

class ProbeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    platform::InitApplication();
    TestServer::PutFile(kProbePath, "5.1.5.203\r\n");
  }

  void SetUp() override {
    savedLogFolder_ = LogFolder;
    LogFolder = log_.path();
    TestServer::SetRules("{}");
    gTickOffset = 0;
  }
  void TearDown() override { LogFolder = savedLogFolder_; }

  // A fresh, empty log for the next case of a table.
  void NewLog() {
    logs_.emplace_back(new TempDir());
    LogFolder = logs_.back()->path();
  }

  // The log's messages without their 79-character prefix and header lines.
  std::vector<std::string> Messages() const {
    const std::string file = testing_support::JoinPath(
        {LogFolder, ChangeFileExt(ExtractFileName(TUtility::ExeName()), ".log")});
    std::vector<std::string> out;
    for (const std::string& line : testing_support::SplitCrLf(testing_support::ReadFile(file))) {
      if (line.compare(0, 8, "Log for ") == 0 || line == std::string(120, '-')) continue;
      out.push_back(line.size() >= kPrefixLength ? line.substr(kPrefixLength) : line);
    }
    return out;
  }

  static void ProbeAnswers(const std::string& rule) {
    TestServer::SetRules("{" + JsonString(kProbePath) + ": " + rule + "}");
  }

  static std::string ProbeUrl() { return UpdateServerUrl(kProbePath); }

  TempDir log_;
  std::vector<std::unique_ptr<TempDir>> logs_;

 private:
  std::string savedLogFolder_;
};

TEST_F(ProbeTest, TestConnectionResultAndLogLinesByServerAnswer) {
  struct Row {
    const char* name;
    const char* rule;  // for the probe path; "" for none
    bool refused;      // point the probe at a port where nothing listens
    std::uint8_t result;
    std::uint8_t testResult;
    // The probe's second log line: exact, or only its beginning when it ends
    // in "*"; "duration" for a "Response received in: H:MM:SS.mmm" line.
    const char* line;
  };
  const std::vector<Row> rows = {
      {"ok", "", false, 2, 2, "duration"},
      {"not_found", "{\"status\": \"404 Not Found\"}", false, 0, 3,
       "Code: 404, HTTP/1.1 404 Not Found"},
      {"redirect", "{\"redirect\": \"http://127.0.0.1:1/elsewhere\"}", false, 0, 3,
       "Code: 302, HTTP/1.1 302 Found"},
      {"unauthorized", "{\"status\": \"401 Unauthorized\"}", false, 0, 3,
       "Code: 401, HTTP/1.1 401 Unauthorized"},
      {"garbage", "{\"garbage\": \"SSH-2.0-x\\r\\n\"}", false, 0, 3, "Invalid response*"},
      {"refused", "", true, 0, 3, "Could not connect*"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    NewLog();
    ProbeAnswers(*r.rule ? r.rule : "{}");
    std::string url;
    const auto start = Clock::now();
    std::uint8_t result = 99;
    std::uint8_t testResult = 99;
    long long elapsed = 0;
    {
      InternetTesterT tester;
      tester.Thread().SetTimeout(5000);
      if (r.refused) tester.Thread().SetURL(TestServer::RefusingUrl(kProbePath));
      url = tester.Thread().URL();
      result = tester.TestConnection();
      elapsed = MsSince(start);
      testResult = tester.Thread().TestResult();
      EXPECT_EQ(2, tester.Thread().State());
    }
    EXPECT_EQ(r.result, result);
    EXPECT_EQ(r.testResult, testResult);
    // Well within the deadline: the answer (or the refusal) came at once.
    EXPECT_LT(elapsed, 2500);

    const std::vector<std::string> m = Messages();
    ASSERT_EQ(2u, m.size()) << "the probe writes exactly two lines";
    EXPECT_EQ("Testen van verbinding. URL: " + url + ", Timeout: 0:00:05.000", m[0]);
    const std::string expected = r.line;
    if (expected == "duration") {
      const std::string head = "Response received in: ";
      ASSERT_EQ(head, m[1].substr(0, head.size()));
      const long long ms = ParseDuration(m[1].substr(head.size()));
      EXPECT_GE(ms, 0) << m[1];
      EXPECT_LE(ms, elapsed) << m[1];
    } else if (expected.back() == '*') {
      EXPECT_EQ(expected.substr(0, expected.size() - 1), m[1].substr(0, expected.size() - 1));
    } else {
      EXPECT_EQ(expected, m[1]);
    }
  }
}

TEST_F(ProbeTest, TheTesterUsesTheUpdateServerProbeUrlAndFifteenSeconds) {
  InternetTesterT tester;
  EXPECT_EQ(TestServer::Base() + "/software/versie.txt", tester.Thread().URL());
  EXPECT_EQ(15000, tester.Thread().Timeout());
}

// The measured time is the server's real delay, also when the tick counter
// wraps in the middle of the request.
TEST_F(ProbeTest, ResponseTimeIsMeasuredAcrossATickWrap) {
  ProbeAnswers("{\"stall_headers\": 0.4}");
  for (bool wrap : {false, true}) {
    SCOPED_TRACE(wrap ? "tick counter wraps during the request" : "no wrap");
    NewLog();
    if (wrap) WrapIn(200);
    std::uint8_t result;
    {
      InternetTesterT tester(&TicksNearWrap);
      tester.Thread().SetTimeout(5000);
      result = tester.TestConnection();
    }
    EXPECT_EQ(2, result);
    const std::vector<std::string> m = Messages();
    ASSERT_EQ(2u, m.size());
    const long long ms = ParseDuration(m[1].substr(std::string("Response received in: ").size()));
    EXPECT_GE(ms, 400 - kTickGrain) << m[1];
    EXPECT_LT(ms, 3000) << m[1];
  }
}

// A server that takes the connection and never answers: the tester gives up
// at its deadline, the probe's own line follows when its read limit passes.
TEST_F(ProbeTest, NeverAnsweringServerTimesOutAtTheDeadline) {
  ProbeAnswers("{\"never\": true}");
  for (bool wrap : {false, true}) {
    SCOPED_TRACE(wrap ? "tick counter wraps during the wait" : "no wrap");
    NewLog();
    if (wrap) WrapIn(300);
    std::uint8_t result;
    long long elapsed;
    {
      InternetTesterT tester(&TicksNearWrap);
      tester.Thread().SetTimeout(1000);
      const auto start = Clock::now();
      result = tester.TestConnection();
      elapsed = MsSince(start);
    }
    EXPECT_EQ(1, result);
    EXPECT_GE(elapsed, 1000 - kTickGrain);
    EXPECT_LT(elapsed, 2500);
    const std::vector<std::string> m = Messages();
    ASSERT_EQ(2u, m.size());
    EXPECT_EQ("Read timed out", m[1].substr(0, 14));
  }
}

TEST_F(ProbeTest, NeverAnsweringServerWithTheRealFifteenSeconds) {
  ProbeAnswers("{\"never\": true}");
  std::uint8_t result;
  long long elapsed;
  const auto start = Clock::now();
  {
    InternetTesterT tester;
    result = tester.TestConnection();
    elapsed = MsSince(start);
  }
  const long long untilProbeEnded = MsSince(start);
  EXPECT_EQ(1, result);
  EXPECT_GE(elapsed, 15000 - kTickGrain);
  EXPECT_LT(elapsed, 17000);
  // The destructor waited for the probe, whose read limit runs out at about
  // the same time as the tester's deadline (it starts a little later).
  EXPECT_LT(untilProbeEnded, 20000);
  const std::vector<std::string> m = Messages();
  ASSERT_EQ(2u, m.size());
  EXPECT_EQ("Testen van verbinding. URL: " + ProbeUrl() + ", Timeout: 0:00:15.000", m[0]);
  EXPECT_EQ("Read timed out", m[1].substr(0, 14));
}

TEST_F(ProbeTest, AProbeStoppedOrDestroyedBeforeItRanSendsNothing) {
  const std::string request = std::string("HEAD ") + kProbePath;
  const std::size_t before = TestServer::CountRequests(request);
  {
    TestThreadT probe;
    probe.SetURL(ProbeUrl());
    probe.Stop();
    probe.Start();
    probe.TerminateAndWaitFor();
    EXPECT_EQ(0, probe.State());
    EXPECT_EQ(0, probe.TestResult());
  }
  {
    TestThreadT probe;
    probe.SetURL(ProbeUrl());
  }
  {
    const auto start = Clock::now();
    { InternetTesterT tester; }
    EXPECT_LT(MsSince(start), 1000) << "an idle probe thread ends at once";
  }
  EXPECT_EQ(before, TestServer::CountRequests(request));
  EXPECT_TRUE(Messages().empty());
}

TEST_F(ProbeTest, AProbeOnItsOwnUsesFiveSecondsAndPublishesItsResult) {
  TestThreadT probe;
  EXPECT_EQ(5000, probe.Timeout());
  EXPECT_EQ(0, probe.State());
  EXPECT_EQ(0, probe.TestResult());
  probe.SetURL(ProbeUrl());
  probe.Start();
  const auto start = Clock::now();
  while (probe.State() < 2 && MsSince(start) < 10000) platform::SleepMs(1);
  ASSERT_EQ(2, probe.State());
  EXPECT_EQ(2, probe.TestResult());
  // Started twice is still one request.
  probe.Start();
  probe.TerminateAndWaitFor();
  const std::vector<std::string> m = Messages();
  ASSERT_EQ(2u, m.size());
  EXPECT_EQ("Testen van verbinding. URL: " + ProbeUrl() + ", Timeout: 0:00:05.000", m[0]);
}

}  // namespace
