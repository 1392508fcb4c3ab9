// A companion download that breaks off goes on where it stopped, in the same
// start and on the next one, and never lands a splice of two releases: the
// real loader in a throw-away installation against the real update server
// on loopback, which cuts, stalls, ignores ranges or answers them wrongly as
// each case asks, and against nginx, a real static file server, in every
// case it can play (slowed down, ranges off, a weak ETag).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "companion/partial_download.h"
#include "platform/files.h"
#include "platform/sysinfo.h"
#include "support/installation.h"
#include "support/testing.h"
#include "support/trust.h"
#include "support/update_server.h"

using namespace testing_support;

namespace {

const char* const kExePath = "/software/sarvo/sarvo2006.exe";
// The padding of the served release: large enough that the kept count is
// brought up to date (every MiB) before the server stalls, and that every
// answer of a cut download is worth a resume.
constexpr std::size_t kPadding = 4 * 1024 * 1024;

std::string ServedCompanion() {
  return JoinPath({TestServer::Root(), "software", "sarvo", "sarvo2006.exe"});
}

// The kept partial of the companion at `companion` and its record, in the
// user's private temporary folder, which the loader and this test share.
struct Kept {
  std::string partial;
  std::string record;
};
std::string g_companion;  // the installation's companion, set by the fixture
Kept FindKept() {
  const companion::PartialDownload kept(g_companion);
  return {kept.Path(), kept.RecordPath()};
}

// Those of the two that exist.
std::vector<std::string> KeptFiles() {
  std::vector<std::string> files;
  const Kept k = FindKept();
  for (const std::string& f : {k.partial, k.record}) {
    if (!f.empty() && platform::FileExists(f)) files.push_back(f);
  }
  return files;
}

void ForgetKeptPartials() {
  if (!g_companion.empty()) companion::PartialDownload(g_companion).Discard();
}

// The count of bytes the kept record vouches for; -1 without a record.
std::int64_t KeptCount() {
  const Kept k = FindKept();
  if (k.record.empty() || !platform::FileExists(k.record)) return -1;
  const std::string text = ReadFile(k.record);
  const std::string::size_type at = text.find("bytes=");
  if (at == std::string::npos) return -1;
  return std::atoll(text.c_str() + at + 6);
}

void Rules(const std::string& rule) {
  TestServer::SetRules(rule.empty() ? "{}" : "{\"" + std::string(kExePath) + "\": " + rule + "}");
}

// How the server behaves for the companion's download.
enum class Behaviour {
  Plain,
  Slow,           // so slow that the loader can be killed halfway
  IgnoresRanges,  // always the whole file
  WeakETag,       // a weak ETag as its only validator
  SlowWeakETag,   // both
  // The update server's misbehaviour, which nginx does not know:
  CutsAt40,        // every answer cut after 40 % of the release
  RangeElsewhere,  // a 206 that starts 100 bytes off
  RangeUnmarked,   // a 206 without Content-Range
};

enum class ServerKind { UpdateServer, Nginx };

std::string NameOf(const ::testing::TestParamInfo<ServerKind>& info) {
  return info.param == ServerKind::Nginx ? "Nginx" : "UpdateServer";
}

bool Has(const std::vector<std::string>& lines, const std::string& prefix) {
  return std::any_of(lines.begin(), lines.end(),
                     [&prefix](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

// The range requests of the companion's download the server saw.
std::vector<std::string> RangedRequests() {
  std::vector<std::string> out;
  for (const std::string& l : TestServer::Ranges()) {
    if (l.rfind(std::string(kExePath) + " range=bytes=", 0) == 0) out.push_back(l);
  }
  return out;
}

// An installation with the main program and the companion stand-in while the
// server offers a newer build of it, padded to size_.
class ResumeTest : public ::testing::TestWithParam<ServerKind> {
 public:
  void SetUp() override {
    ForgetKeptPartials();
    inst_ = std::make_unique<Installation>();
    inst_->AddMainProgram();
    inst_->AddFixture("sarvo_standin", "sarvo2006.exe");
    local_ = inst_->AppDir() + "sarvo2006.exe";
    g_companion = local_;
    ForgetKeptPartials();
    original_ = ReadFile(local_);
    size_ = original_.size() + kPadding;
    served_ = Padded('N');
    TestServer::PutFile("/software/versie.txt", "5.1.5.203\r\n");
    TestServer::PutFile("/software/sarvo/versie.txt", "2.0\r\n");
    TestServer::PutFile(kExePath, served_);
    Behave(Behaviour::Plain);
  }
  void TearDown() override {
    Rules("");
    nginx_.reset();
    ForgetKeptPartials();
  }

  ServerKind Kind() const { return GetParam(); }

  // Makes the server behave so from the next request on: the update server
  // by its rules, nginx by a fresh start with the directives that do it.
  void Behave(Behaviour b) {
    platform::FileDelete(TestServer::Root() + platform::kPathDelim + ".ranges.log");
    if (Kind() == ServerKind::UpdateServer) {
      Rules(RuleOf(b));
      return;
    }
    // The same address every time: the kept partial belongs to its URL.
    const int port = nginx_ ? nginx_->Port() : 0;
    nginx_.reset();
    nginx_ = SideServer::Nginx(TestServer::Root(), DirectivesOf(b), port);
    ASSERT_TRUE(nginx_->Started()) << nginx_->Error();
    server_.Set("http://127.0.0.1:" + std::to_string(nginx_->Port()));
  }

  std::string RuleOf(Behaviour b) const {
    switch (b) {
      case Behaviour::Slow:
        return R"({"stall_body": {"after": )" + std::to_string(size_ * 6 / 10) +
               R"(, "seconds": 60}})";
      case Behaviour::IgnoresRanges:
        return R"({"ranges": false})";
      case Behaviour::WeakETag:
        return R"({"etag": "W/\"weak\""})";
      case Behaviour::SlowWeakETag:
        return R"({"etag": "W/\"weak\"", "stall_body": {"after": )" +
               std::to_string(size_ * 6 / 10) + R"(, "seconds": 60}})";
      case Behaviour::CutsAt40:
        return R"({"cut": )" + std::to_string(size_ * 4 / 10) + "}";
      case Behaviour::RangeElsewhere:
        return R"({"range_offset": 100})";
      case Behaviour::RangeUnmarked:
        return R"({"range_no_content_range": true})";
      case Behaviour::Plain:
        break;
    }
    return "";
  }

  static constexpr const char* kWeakLocation =
      R"(location / { etag off; add_header ETag 'W/"weak"'; })";

  static std::vector<std::string> DirectivesOf(Behaviour b) {
    switch (b) {
      case Behaviour::Slow:
        return {"limit_rate 1m;"};
      case Behaviour::IgnoresRanges:
        return {"max_ranges 0;"};
      case Behaviour::WeakETag:
        return {kWeakLocation};
      case Behaviour::SlowWeakETag:
        return {"limit_rate 1m;", kWeakLocation};
      default:
        return {};
    }
  }

  // The stand-in padded to size_: a program that runs on both platforms,
  // whose tail tells two releases apart.
  std::string Padded(char fill) const { return original_ + std::string(kPadding, fill); }

  // A start that the server slows down, killed as soon as `enough` says.
  void KilledStart(Behaviour slow, const std::function<bool()>& enough) {
    Behave(slow);
    ASSERT_TRUE(inst_->RunAndKillWhen(enough));
    EXPECT_TRUE(ReadFile(local_) == original_) << "a killed download touched the companion";
  }
  // Killed once the kept record vouches for at least 1 MiB.
  void KilledStart() {
    KilledStart(Behaviour::Slow, [] { return KeptCount() >= (1 << 20); });
  }

  // A whole start with the server behaving so; its log's messages.
  std::vector<std::string> Start(Behaviour b = Behaviour::Plain) {
    Behave(b);
    platform::FileDelete(inst_->LogPath());
    EXPECT_TRUE(inst_->Run("", "", 120000));
    return inst_->Messages();
  }

  void ExpectInstalled(const std::string& bytes, const std::vector<std::string>& log) {
    EXPECT_TRUE(ReadFile(local_) == bytes) << "installed file\n" << ::testing::PrintToString(log);
    EXPECT_FALSE(Exists(inst_->AppDir() + "sarvo2006.tmp")) << "Temp left behind";
    EXPECT_TRUE(KeptFiles().empty())
        << "a partial stays after the install: " << ::testing::PrintToString(KeptFiles());
  }

  std::unique_ptr<Installation> inst_;
  std::string local_, original_, served_;
  std::size_t size_ = 0;  // of the served release
  std::unique_ptr<SideServer> nginx_;
  ScopedEnv server_{"KESTRO_UPDATE_SERVER"};
};

const char kResumed[] = "Download van sarvo2006.exe wordt hervat vanaf ";
const char kDiscarded[] = "Gedeeltelijke download van sarvo2006.exe weggegooid (";

// nginx cuts no answer: the update server alone plays the bad line.
TEST_P(ResumeTest, ACutDownloadLandsInTheSameStart) {
  if (Kind() == ServerKind::Nginx) return;
  const auto log = Start(Behaviour::CutsAt40);
  ExpectInstalled(served_, log);
  EXPECT_TRUE(Has(log, kResumed)) << ::testing::PrintToString(log);
  const auto ranged = RangedRequests();
  ASSERT_EQ(ranged.size(), 2u) << ::testing::PrintToString(TestServer::Ranges());
  // Each from where the partial ended, and only while the release is the
  // same one: the ETag the server gave.
  EXPECT_NE(ranged[0].find("range=bytes=" + std::to_string(size_ * 4 / 10) + "- "),
            std::string::npos)
      << ranged[0];
  EXPECT_NE(ranged[1].find("range=bytes=" + std::to_string(size_ * 4 / 10 * 2) + "- "),
            std::string::npos)
      << ranged[1];
  for (const std::string& r : ranged) EXPECT_NE(r.find("if-range=\""), std::string::npos) << r;
}

TEST_P(ResumeTest, AKilledDownloadGoesOnAtTheNextStart) {
  KilledStart();
  const std::int64_t kept = KeptCount();
  const auto log = Start();
  ExpectInstalled(served_, log);
  EXPECT_TRUE(Has(log, kResumed)) << ::testing::PrintToString(log);
  const auto ranged = RangedRequests();
  ASSERT_EQ(ranged.size(), 1u) << ::testing::PrintToString(TestServer::Ranges());
  EXPECT_NE(ranged[0].find("range=bytes=" + std::to_string(kept) + "- "), std::string::npos)
      << ranged[0] << " kept " << kept;
}

// What the next start finds, and what it must make of it: every case ends
// with exactly the server's release installed.
TEST_P(ResumeTest, TheNextStartResumesOnlyTheSameRelease) {
  struct Case {
    const char* name;
    std::function<void(ResumeTest&)> meddle;  // after the killed start
    Behaviour next;                           // of the server for the next start
    const char* discarded;                    // the reason logged, "" for none
    bool resumed;                             // the kept partial was taken up
  };
  const Case cases[] = {
      {"the release replaced by another of the same size (no key)",
       [](ResumeTest& t) {
         t.served_ = t.Padded('M');
         TestServer::PutFile(kExePath, t.served_);
         TestServer::MarkAsNewer(kExePath);
       },
       Behaviour::Plain, "andere versie op de server", false},
      {"a server that ignores ranges", nullptr, Behaviour::IgnoresRanges,
       "de server stuurt het hele bestand", true},
      {"a 206 that starts elsewhere", nullptr, Behaviour::RangeElsewhere,
       "vervolg begint op de verkeerde plaats", true},
      {"a 206 without Content-Range", nullptr, Behaviour::RangeUnmarked,
       "vervolg zonder geldig Content-Range", true},
      {"a complete partial gets a 416",
       [](ResumeTest& t) {
         const Kept k = FindKept();
         WriteFile(k.partial, t.served_);
         std::string record = ReadFile(k.record);
         const std::string::size_type at = record.find("bytes=");
         record.replace(at, record.find('\r', at) - at, "bytes=" + std::to_string(t.size_));
         WriteFile(k.record, record);
       },
       Behaviour::Plain, "", true},
      {"a partial larger than the release",
       [](ResumeTest& t) {
         const Kept k = FindKept();
         WriteFile(k.partial, t.served_ + "more");
       },
       Behaviour::Plain, "groter dan de opgegeven grootte", false},
  };
  for (const Case& c : cases) {
    // nginx answers no range wrongly.
    if (Kind() == ServerKind::Nginx &&
        (c.next == Behaviour::RangeElsewhere || c.next == Behaviour::RangeUnmarked)) {
      continue;
    }
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    KilledStart();
    ASSERT_TRUE(platform::FileExists(FindKept().record)) << "no partial kept";
    if (c.meddle) c.meddle(*this);
    const auto log = Start(c.next);
    ExpectInstalled(served_, log);
    if (*c.discarded) {
      EXPECT_TRUE(Has(log, std::string(kDiscarded) + c.discarded)) << ::testing::PrintToString(log);
    } else {
      EXPECT_FALSE(Has(log, kDiscarded)) << ::testing::PrintToString(log);
    }
    EXPECT_EQ(Has(log, kResumed), c.resumed) << ::testing::PrintToString(log);
  }
}

// A weak ETag only says that two bodies mean the same: what arrived is not
// kept, and the next start asks for no range.
TEST_P(ResumeTest, AWeakETagVouchesForNoResume) {
  KilledStart(Behaviour::SlowWeakETag, [] {
    const Kept k = FindKept();
    // Asked of the folder: Windows lets nobody open the partial while the
    // loader holds it.
    std::uint32_t size = 0;
    return platform::FindFirstSize(k.partial, size) && size >= (1u << 20);
  });
  EXPECT_FALSE(platform::FileExists(FindKept().record))
      << "a record kept without a strong validator";
  const auto log = Start(Behaviour::WeakETag);
  ExpectInstalled(served_, log);
  EXPECT_FALSE(Has(log, kResumed)) << ::testing::PrintToString(log);
  EXPECT_TRUE(RangedRequests().empty()) << ::testing::PrintToString(TestServer::Ranges());
}

// With a key, a resumed file that fails the signature check is thrown away
// with its record, and the start after it fetches the release whole.
TEST_P(ResumeTest, AResumedFileWithABadSignatureIsDeleted) {
  MachineUpdateKey key(TestPublicKey("vendor"));
  ASSERT_TRUE(SignWithOpenssl("vendor", ServedCompanion()));
  KilledStart();
  const Kept k = FindKept();
  ASSERT_TRUE(platform::FileExists(k.partial)) << "no partial kept";
  // The kept head is damaged, its length and record left as they were.
  std::string head = ReadFile(k.partial);
  ASSERT_GT(head.size(), 100u);
  head[head.size() / 2] = static_cast<char>(head[head.size() / 2] ^ 0x55);
  WriteFile(k.partial, head);

  auto log = Start();
  EXPECT_TRUE(Has(log, kResumed)) << ::testing::PrintToString(log);
  EXPECT_TRUE(Has(log, "Oorzaak: EUpdateSignatureError: ")) << ::testing::PrintToString(log);
  EXPECT_TRUE(ReadFile(local_) == original_) << "a spliced file was installed";
  EXPECT_TRUE(KeptFiles().empty()) << "the failed partial was kept";

  log = Start();
  ExpectInstalled(served_, log);
  EXPECT_FALSE(Has(log, kResumed)) << ::testing::PrintToString(log);
}

INSTANTIATE_TEST_SUITE_P(Servers, ResumeTest,
                         ::testing::Values(ServerKind::UpdateServer, ServerKind::Nginx), NameOf);

}  // namespace
