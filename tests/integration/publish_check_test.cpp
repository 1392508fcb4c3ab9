// kestro-publish check against the real update server on loopback: a release
// laid out by kestro-publish release, then the server made to break the
// loader's contract in one way per case. The check must name exactly the
// points a loader would trip over, with the loader's words, and exit 1; a
// server that keeps the contract passes with 0.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/sysinfo.h"
#include "support/fixtures.h"
#include "support/run_capture.h"
#include "support/testing.h"
#include "support/trust.h"
#include "support/u_Utility.h"
#include "support/update_server.h"
#include "support/xdotool.h"

namespace {

using namespace testing_support;

const char kProbe[] = "probe:";
const char kSize[] = "size check:";
const char kDownload[] = "download:";
const char kRedirect[] = "no redirect";
const char kChunked[] = "no chunked";
const char kProgram[] = "the body is a whole program";
const char kSignature[] = "signature:";
const char kHttps[] = "https:";
const char kSame[] = "the body equals";
const char kReach[] = "reachability:";
const char kResume[] = "resume:";

std::string KeyFile(const std::string& name) {
  return NativePath(std::string(KESTRO_FIXTURE_DIR) + "/keys/" + name);
}

std::string Served(const std::string& relative) {
  std::string path = IncludeTrailingPathDelimiter(TestServer::Root()) + relative;
  for (char& c : path) {
    if (c == '/') c = platform::kPathDelim;
  }
  return path;
}

CaptureResult Publish(const std::vector<std::string>& args) {
  return RunCapture(BuiltProgram("kestro-publish"), args);
}

// A signed release of the given PE fixture in the server's folder, with no
// rules.
void PublishRelease(const std::string& companion) {
  TestServer::SetRules("{}");
  RemoveAll(Served("software"));
  const CaptureResult r = Publish({"release", "--root", TestServer::Root(), "--companion",
                                   PeFixture(companion), "--key", KeyFile("vendor.key")});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
}

// The table's rows by their point: "ok", "FAIL" or "-", and the loader's
// text below a failing row.
struct Table {
  std::vector<std::string> lines;
  std::string VerdictOf(const std::string& point) const {
    for (const std::string& line : lines) {
      const std::size_t at = line.find(point);
      if (at != std::string::npos && at <= 6) return line.substr(0, line.find(' '));
    }
    return "missing";
  }
  std::vector<std::string> Failing() const {
    std::vector<std::string> out;
    for (const std::string& line : lines) {
      if (line.rfind("FAIL", 0) == 0) out.push_back(line);
    }
    return out;
  }
};

Table TableOf(const std::string& out) {
  Table t;
  std::string text = out;
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  std::size_t start = 0;
  for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
    t.lines.push_back(text.substr(start, nl - start));
  }
  return t;
}

struct CheckCase {
  const char* name;
  // Makes the server misbehave after a good release.
  std::string rules;
  void (*damage)();
  // The points that fail, in the table's order; none: exit 0.
  std::vector<const char*> failing;
  // A piece of the loader's words that the output must hold.
  std::string loaderText;
};

void NoDamage() {}
void RemoveCompanion() { platform::FileDelete(Served("software/sarvo/sarvo2006.exe")); }
void RemoveSignature() { platform::FileDelete(Served("software/sarvo/sarvo2006.exe.sig")); }
void RemoveReachability() { platform::FileDelete(Served("software/sarvo/versie.txt")); }
void SignWithAnotherKey() {
  ASSERT_TRUE(SignWithOpenssl("other", Served("software/sarvo/sarvo2006.exe")));
}
// The last release's signature left beside this one.
void LeaveLastSignature() {
  const std::string sig = ReadFile(Served("software/sarvo/sarvo2006.exe.sig"));
  PublishRelease("ver_nl_1_1.exe");
  WriteFile(Served("software/sarvo/sarvo2006.exe.sig"), sig);
}

TEST(PublishCheck, NamesEveryBrokenPointOfTheContract) {
  const std::string exe = "/software/sarvo/sarvo2006.exe";
  const std::string size = std::to_string(ReadFile(PeFixture("ver_nl_1_0.exe")).size());
  const std::vector<CheckCase> cases = {
      {"a server that keeps the contract", "{}", &NoDamage, {}, ""},
      {"companion missing (404)",
       "{}",
       &RemoveCompanion,
       {kSize, kDownload},
       "EIdHTTPProtocolException: HTTP/1.1 404 Not Found"},
      {"redirect",
       "{\"" + exe + "\": {\"redirect\": " + JsonString(TestServer::Url("/elsewhere")) + "}}",
       &NoDamage,
       {kSize, kDownload, kRedirect},
       "HTTP/1.1 302 Found"},
      {"HEAD without a length",
       "{\"HEAD " + exe + "\": {\"nolength\": true}}",
       &NoDamage,
       {kSize},
       "downloads it at every start"},
      {"HEAD and GET lengths differ",
       "{\"HEAD " + exe + "\": {\"length\": " + size + "1}}",
       &NoDamage,
       {kDownload},
       "the HEAD declared " + size + "1"},
      // The loader stops a download a byte past the HEAD's length, and so
      // does the check.
      {"GET longer than the HEAD declared",
       "{\"HEAD " + exe + "\": {\"length\": 1000}}",
       &NoDamage,
       {kDownload},
       "Oorzaak: EIdHTTPInvalidResponse: Response body longer than 1000 bytes"},
      {"cut body",
       "{\"GET " + exe + "\": {\"cut\": 1000}}",
       &NoDamage,
       {kDownload},
       "Oorzaak: EIdConnClosedGracefully"},
      {"chunked answer", "{\"GET " + exe + "\": {\"chunked\": 1000}}", &NoDamage,
       // The Linux port takes a whole chunked body; the Windows build asks in
       // HTTP/1.0 and takes no byte of it.
       OnWindows() ? std::vector<const char*>{kDownload, kChunked}
                   : std::vector<const char*>{kChunked},
       "companion GET is chunked"},
      {"login page in front of the server",
       "{\"*\": {\"body\": \"<html><form>Log in to the guest network</form></html>\"}}",
       &NoDamage,
       {kProgram, kSignature, kSame},
       "is geen geldig programma: no MZ header"},
      {"signature by another key",
       "{}",
       &SignWithAnotherKey,
       {kSignature},
       "klopt niet bij de download"},
      {"signature missing",
       "{}",
       &RemoveSignature,
       {kSignature},
       "niet ontvangen: EIdHTTPProtocolException: HTTP/1.1 404 Not Found"},
      {"signature of the last release",
       "{}",
       &LeaveLastSignature,
       {kSignature, kSame},
       "klopt niet bij de download"},
      {"reachability file missing", "{}", &RemoveReachability, {kReach}, "skips the update"},
      {"slow probe",
       "{\"HEAD /software/versie.txt\": {\"stall_headers\": 16}}",
       &NoDamage,
       {kProbe},
       "Read timed out"},
  };
  for (const CheckCase& c : cases) {
    SCOPED_TRACE(c.name);
    PublishRelease("ver_nl_1_0.exe");
    c.damage();
    TestServer::SetRules(c.rules);
    const CaptureResult r =
        Publish({"check", TestServer::Base(), "--key", KeyFile("vendor.pub.pem"), "--companion",
                 PeFixture("ver_nl_1_0.exe")});
    const Table t = TableOf(r.out);
    std::vector<std::string> failing;
    for (const char* point : {kProbe, kSize, kDownload, kRedirect, kChunked, kProgram, kSignature,
                              kHttps, kSame, kReach, kResume}) {
      EXPECT_NE(t.VerdictOf(point), "missing") << point << "\n" << r.out << r.err;
      if (t.VerdictOf(point) == "FAIL") failing.push_back(point);
    }
    EXPECT_EQ(failing, std::vector<std::string>(c.failing.begin(), c.failing.end())) << r.out;
    EXPECT_EQ(r.exitCode, c.failing.empty() ? 0 : 1) << r.out << r.err;
    EXPECT_EQ(t.VerdictOf(kHttps), "-") << "plain http has no certificate";
    if (!c.loaderText.empty()) {
      EXPECT_NE(r.out.find(c.loaderText), std::string::npos) << c.loaderText << "\n" << r.out;
      EXPECT_EQ(t.Failing().size(), c.failing.size());
    } else {
      EXPECT_NE(r.out.find("A loader would install and start this release."), std::string::npos)
          << r.out;
    }
  }
}

// Whether a cut download can go on where it stopped is information for the
// maker: "ok" or "-", and never a reason to fail the check.
TEST(PublishCheck, TellsWhetherADownloadCanResume) {
  const std::string exe = "\"/software/sarvo/sarvo2006.exe\": ";
  struct ResumeCase {
    const char* name;
    std::string rules;
    const char* verdict;
    const char* figure;  // a piece of the row's figure
  };
  const ResumeCase cases[] = {
      {"ranges with a strong ETag", "{}", "ok", "206, bytes "},
      {"a server without ranges", "{" + exe + R"({"ranges": false}})", "-", "200"},
      {"no validator", "{" + exe + R"({"no_validators": true}})", "-", "no ETag or Last-Modified"},
      {"a weak ETag", "{" + exe + R"({"etag": "W/\"x\""}})", "-", "only a weak ETag"},
      {"a range answered from elsewhere", "{" + exe + R"({"range_offset": 100}})", "-", "206"},
  };
  for (const ResumeCase& c : cases) {
    SCOPED_TRACE(c.name);
    PublishRelease("ver_nl_1_0.exe");
    TestServer::SetRules(c.rules);
    const CaptureResult r =
        Publish({"check", TestServer::Base(), "--key", KeyFile("vendor.pub.pem"), "--companion",
                 PeFixture("ver_nl_1_0.exe")});
    const Table t = TableOf(r.out);
    EXPECT_EQ(t.VerdictOf(kResume), c.verdict) << r.out;
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    std::string row;
    for (const std::string& line : t.lines) {
      if (line.find(kResume) != std::string::npos) row = line;
    }
    EXPECT_NE(row.find(c.figure), std::string::npos) << row;
  }
}

// Over https: with the test authority trusted every point passes, the
// certificate's among them; without it the loader finds no server, and the
// check says so with the loader's words.
TEST(PublishCheck, CertificateMustBeTrustedAndNameTheHost) {
  PublishRelease("ver_nl_1_0.exe");
  const TestTls tls = MakeTestTls(IncludeTrailingPathDelimiter(TestServer::Root()) + "tls");
  ASSERT_TRUE(tls.ok);
  struct TlsCase {
    const char* name;
    const char* certificate;
    bool trusted;
    int exitCode;
  };
  const TlsCase cases[] = {
      {"trusted authority", "good.pem", true, 0},
      {"unknown authority", "good.pem", false, 1},
      {"certificate for another host", "wronghost.pem", true, 1},
  };
  for (const TlsCase& c : cases) {
    SCOPED_TRACE(c.name);
    SideServer server(TestServer::Root(), "--tls " + ShellQuote(tls.UnixPath(c.certificate)) + " " +
                                              ShellQuote(tls.UnixPath("server.key")));
    ASSERT_TRUE(server.Started()) << server.Error();
    std::unique_ptr<TrustedTestCa> trust;
    if (c.trusted) trust = std::make_unique<TrustedTestCa>(tls);
    const CaptureResult r = Publish({"check", "https://127.0.0.1:" + std::to_string(server.Port()),
                                     "--key", KeyFile("vendor.pub.pem")});
    const Table t = TableOf(r.out);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
    EXPECT_EQ(t.VerdictOf(kHttps), c.exitCode == 0 ? "ok" : "FAIL") << r.out;
    EXPECT_EQ(t.VerdictOf(kProbe), c.exitCode == 0 ? "ok" : "FAIL") << r.out;
    if (c.exitCode != 0) {
      EXPECT_NE(r.out.find("EIdSecureConnectionError"), std::string::npos) << r.out;
    }
  }
}

// An office behind its administrator's proxy: the check goes the loader's
// way, through the proxy, and a proxy that refuses fails the probe.
TEST(PublishCheck, AsksThroughTheSystemsProxy) {
  PublishRelease("ver_nl_1_0.exe");
  struct ProxyCase {
    const char* name;
    const char* args;
    int exitCode;
  };
  const ProxyCase cases[] = {
      {"a proxy that passes requests on", "--proxy", 0},
      {"a proxy that refuses", "--proxy-status \"407 Proxy Authentication Required\"", 1},
  };
  for (const ProxyCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string proxyRoot = IncludeTrailingPathDelimiter(TestServer::Root()) + "proxy";
    RemoveAll(proxyRoot);
    MakeDirs(proxyRoot);
    SideServer proxy(proxyRoot, c.args);
    ASSERT_TRUE(proxy.Started()) << proxy.Error();
    CaptureResult r;
    {
      SystemProxy system(proxy.Port());
      r = Publish({"check", TestServer::Base(), "--key", KeyFile("vendor.pub.pem")});
    }
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
    const std::string seen = ReadFile(IncludeTrailingPathDelimiter(proxyRoot) + ".requests.log");
    for (const char* request :
         {"HEAD /software/versie.txt", "HEAD /software/sarvo/sarvo2006.exe",
          "GET /software/sarvo/versie.txt", "GET /software/sarvo/sarvo2006.exe",
          "GET /software/sarvo/sarvo2006.exe.sig"}) {
      const std::string line =
          std::string(request).replace(std::string(request).find(' ') + 1, 0, TestServer::Base());
      EXPECT_NE(seen.find(line + "\n"), std::string::npos)
          << line << " did not go through the proxy:\n"
          << seen;
    }
    if (c.exitCode != 0) {
      EXPECT_NE(r.out.find("Code: 407, HTTP/1.1 407 Proxy Authentication Required"),
                std::string::npos)
          << r.out;
    }
  }
}

}  // namespace
