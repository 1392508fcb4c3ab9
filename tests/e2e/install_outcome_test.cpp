// The install always ends in a known state, end to end through the real
// loader against the update server on loopback: a companion held open for a
// moment is replaced once it is free, one held for too long is left as it
// was and started as without an update, and a new companion that cannot
// start is replaced by the last good one, whose release is then not fetched
// again until the server offers another.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/process.h"
#include "platform/shell.h"
#include "platform/sysinfo.h"
#include "support/installation.h"
#include "support/registry_tool.h"
#include "support/testing.h"
#include "support/u_Utility.h"
#include "support/update_server.h"

using namespace testing_support;

namespace {

const char kSarvoKey[] = "HKCU\\SOFTWARE\\hollvik\\Sarvo";
const char kGet[] = "GET /software/sarvo/sarvo2006.exe";

std::string ServerRoot() {
  std::string root;
  platform::GetEnv("KESTRO_TEST_SERVER_ROOT", root);
  return IncludeTrailingPathDelimiter(root);
}

// The probe file and the companion's files on the server, `exe` as the
// executable.
void Serve(const std::string& exe) {
  const char d = platform::kPathDelim;
  const std::string software = ServerRoot() + "software";
  MakeDirs(software + d + "sarvo");
  WriteFile(software + d + "versie.txt", "5.1.5.203\r\n");
  WriteFile(software + d + "sarvo" + d + "versie.txt", "2.0\r\n");
  WriteFile(software + d + "sarvo" + d + "sarvo2006.exe", exe);
}

// BASE stands for the server's address and APP for the application folder;
// a line ending in "*" is compared up to the "*".
void ExpectLog(const std::vector<std::string>& actual, const std::vector<std::string>& expected,
               const std::string& app) {
  EXPECT_EQ(actual.size(), expected.size()) << ::testing::PrintToString(actual);
  for (std::size_t i = 0; i < std::min(actual.size(), expected.size()); ++i) {
    std::string want = expected[i];
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"BASE", TestServer::Base()},
                                   std::pair<std::string, std::string>{"APP", app}}) {
      for (std::size_t at; (at = want.find(from)) != std::string::npos;)
        want.replace(at, from.size(), to);
    }
    if (!want.empty() && want.back() == '*') {
      EXPECT_EQ(actual[i].substr(0, want.size() - 1), want.substr(0, want.size() - 1))
          << "line " << i;
    } else {
      EXPECT_EQ(actual[i], want) << "line " << i;
    }
  }
}

// The whole log of a run that reaches the companion flow: the connection
// test first, the main program's start last.
std::vector<std::string> RunLog(const std::vector<std::string>& companionLines) {
  std::vector<std::string> lines = {
      "Testen van verbinding. URL: BASE/software/versie.txt, Timeout: 0:00:15.000",
      "Response received in: *", "Checking Sarvo version with server"};
  lines.insert(lines.end(), companionLines.begin(), companionLines.end());
  lines.insert(lines.end(), {"Kestro v wordt gestart", "Resultcode *", "Loader is afgesloten"});
  return lines;
}

// The lines of a start of the companion in `mode` that is waited for.
std::vector<std::string> Started(const std::string& mode) {
  return {"Starting APPsarvo2006.exe with \"" + mode + "\"", "## LastErrorCode: 0: *",
          "Waiting for Sarvo....", "Sarvo has been closed"};
}

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const std::vector<std::string> kDownloaded = {"Downloaden van BASE/software/sarvo/sarvo2006.exe",
                                              "Opgeslagen als APPsarvo2006.exe (*"};

// No key is configured here: every install says so.
const std::string kUnsignedInstall = UnsignedInstallLine();

// Downloaded and installed.
const std::vector<std::string> kInstalled = Join(kDownloaded, {kUnsignedInstall});

// The refused size as the registry tool lists it, "" when none is kept.
std::string RefusedSize() {
  const RegListing r = QueryRegistry(kSarvoKey, "RefusedSize");
  if (!r.valueFound) return std::string();
  EXPECT_EQ(r.type, "REG_DWORD");
  return r.data;
}

// The refused release as the installation folder keeps it beside the
// companion, "" when none is kept.
std::string RefusedRecord(const std::string& appDir) {
  const std::string record = appDir + "sarvo2006.exe.refused";
  return Exists(record) ? ReadFile(record) : std::string();
}

std::string Hex(std::size_t n) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%zx", n);
  return text;
}

std::string SeenByCompanion(const Installation& inst) {
  const std::string seen = inst.AppDir() + "sarvo-seen.txt";
  return Exists(seen) ? ReadFile(seen) : std::string();
}

// Another program holding `file` open without delete sharing, the way a
// virus scanner holds a fresh program, until it is ended or `ms` passed.
class Holder {
 public:
  Holder(const std::string& file, std::uint32_t ms) {
    const std::string ready = file + ".held";
    platform::FileDelete(ready);
    platform::ShellExecResult r =
        platform::ShellExecuteProcess("open", FixtureProgram("file_holder"),
                                      "\"" + file + "\" \"" + ready + "\" " + std::to_string(ms),
                                      ExtractFilePath(file), platform::ShowCommand::Hidden);
    EXPECT_TRUE(r.ok) << "file_holder did not start: " << r.error;
    process_ = std::move(r.process);
    const std::uint32_t start = platform::TickCount();
    while (!Exists(ready) && platform::TickCount() - start < 20000 && process_.IsValid() &&
           process_.Wait(20) == platform::ProcessHandle::WaitResult::TimedOut) {
    }
    holding_ = Exists(ready);
    platform::FileDelete(ready);
  }
  ~Holder() { Release(); }
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;

  bool Holding() const { return holding_; }
  void Release() {
    if (!process_.IsValid()) return;
    process_.Terminate();
    process_.Wait(10000);
    process_.Close();
  }

 private:
  platform::ProcessHandle process_;
  bool holding_ = false;
};

// An installation with the main program and the companion stand-in, whose
// start mode an earlier run left behind.
struct Office {
  Office() {
    inst.AddMainProgram();
    inst.AddFixture("sarvo_standin", "sarvo2006.exe");
    local = inst.AppDir() + "sarvo2006.exe";
    original = ReadFile(local);
  }
  Installation inst;
  std::string local;
  std::string original;
};

// A newer build of the stand-in that behaves as `mode` says when it runs
// (see the stand-in): "crash", "exit3", or "" for a normal one.
std::string NewerBuild(const std::string& original, const std::string& mode) {
  std::string build = original + "newer build";
  if (!mode.empty()) build += "standin:" + mode;
  return build;
}

TEST(InstallOutcome, CompanionHeldTooLongIsLeftAsItWasAndStartedWithoutUpdateMode) {
  Office o;
  const std::string served = NewerBuild(o.original, "");
  Serve(served);
  // Held past the repeats' ten seconds.
  Holder holder(o.local, 60000);
  ASSERT_TRUE(holder.Holding());
  ASSERT_TRUE(o.inst.Run("", "", 120000));
  holder.Release();

  ExpectLog(o.inst.Messages(),
            RunLog(Join(Join(kDownloaded, {"Copieren van \"APPsarvo2006.tmp\" naar "
                                           "\"APPsarvo2006.exe\" is mislukt!"}),
                        Started("/AUTO"))),
            o.inst.AppDir());
  EXPECT_TRUE(ReadFile(o.local) == o.original) << "the companion changed";
  EXPECT_EQ(SeenByCompanion(o.inst), "State=1 Params=/AUTO\n");
  // The download waits in Temp; the backup is the companion as it was.
  EXPECT_TRUE(ReadFile(o.inst.AppDir() + "sarvo2006.tmp") == served);
  EXPECT_TRUE(ReadFile(o.local + ".bak") == o.original);
  EXPECT_FALSE(o.inst.MainProgramRecord().empty()) << "main program not started";
}

TEST(InstallOutcome, CompanionHeldForAMomentIsReplacedOnceFree) {
  Office o;
  const std::string served = NewerBuild(o.original, "");
  Serve(served);
  Holder holder(o.local, 60000);
  ASSERT_TRUE(holder.Holding());
  // Let go a moment after the download is in, when the replace has failed
  // at least once; well within the repeats' ten seconds.
  std::uint32_t savedAt = 0;
  ASSERT_TRUE(o.inst.Run("", "", 120000, [&] {
    if (savedAt == 0) {
      const auto m = o.inst.Messages();
      if (std::any_of(m.begin(), m.end(), [](const std::string& line) {
            return line.rfind("Opgeslagen als ", 0) == 0;
          })) {
        savedAt = platform::TickCount();
      }
    } else if (platform::TickCount() - savedAt > 1500) {
      holder.Release();
    }
  }));
  holder.Release();

  ExpectLog(o.inst.Messages(),
            RunLog(Join(
                Join(kDownloaded, {"Vervangen van APPsarvo2006.exe lukte na *", kUnsignedInstall}),
                Started("/AUTO /INIT"))),
            o.inst.AppDir());
  const auto m = o.inst.Messages();
  const auto retried = std::find_if(m.begin(), m.end(), [](const std::string& line) {
    return line.rfind("Vervangen van ", 0) == 0;
  });
  ASSERT_NE(retried, m.end());
  // The count of attempts and the code of the lock: access denied or a
  // sharing violation.
  EXPECT_NE(retried->find(" pogingen ("), std::string::npos) << *retried;
  EXPECT_TRUE(retried->find("(5: ") != std::string::npos ||
              retried->find("(32: ") != std::string::npos)
      << *retried;
  EXPECT_TRUE(ReadFile(o.local) == served) << "the new companion is not installed";
  EXPECT_EQ(SeenByCompanion(o.inst), "State=1 Params=/AUTO /INIT\n");
  EXPECT_FALSE(Exists(o.inst.AppDir() + "sarvo2006.tmp")) << "Temp left behind";
}

struct StartRoad {
  const char* name;
  std::string served;
  // The reason in the log, up to a "*"; "" when the release starts.
  std::string why;
};

TEST(InstallOutcome, NewCompanionThatCannotStartIsRolledBack) {
  const std::string standin = ReadFile(FixtureProgram("sarvo_standin"));
  const StartRoad roads[] = {
      {"crashes at once", NewerBuild(standin, "crash"),
       OnWindows() ? "0xC0000005: STATUS_ACCESS_VIOLATION" : "SIGSEGV: Segmentation fault"},
      {"needs a library that is not there", ReadFile(FixtureProgram("needs_missing_library")),
       OnWindows() ? "0xC0000135: STATUS_DLL_NOT_FOUND"
                   : "127: error while loading shared libraries: libkestro_gone.so: cannot open "
                     "shared object file: No such file or directory"},
      {"ends at once with code 3", NewerBuild(standin, "exit3"), ""},
      {"ends at once with code 0", NewerBuild(standin, ""), ""},
  };
  for (const StartRoad& r : roads) {
    SCOPED_TRACE(r.name);
    Office o;
    Serve(r.served);
    ASSERT_TRUE(o.inst.Run("", "", 120000));
    const auto m = o.inst.Messages();
    const bool rolledBack = !r.why.empty();
    if (rolledBack) {
      std::vector<std::string> lines = kInstalled;
      lines.insert(lines.end(),
                   {"Starting APPsarvo2006.exe with \"/AUTO /INIT\"", "## LastErrorCode: 0: *"});
      // The reason's own text is compared up to its first "*".
      const std::string why = r.why.substr(0, r.why.find('*'));
      lines.push_back("Sarvo " + std::to_string(r.served.size()) + " bytes start niet (" + why +
                      (why.size() < r.why.size() ? "*" : "), de vorige versie wordt teruggezet"));
      lines.push_back("Vorige versie van Sarvo teruggezet");
      const auto again = Started("/AUTO /INIT");
      lines.insert(lines.end(), again.begin(), again.end());
      ExpectLog(m, RunLog(lines), o.inst.AppDir());
      const auto said = std::find_if(m.begin(), m.end(), [](const std::string& line) {
        return line.rfind("Sarvo ", 0) == 0 && line.find(" start niet (") != std::string::npos;
      });
      ASSERT_NE(said, m.end());
      EXPECT_NE(said->find("), de vorige versie wordt teruggezet"), std::string::npos) << *said;
      EXPECT_TRUE(ReadFile(o.local) == o.original) << "the old companion is not back";
      EXPECT_NE(RefusedRecord(o.inst.AppDir()).find("size=" + std::to_string(r.served.size())),
                std::string::npos)
          << RefusedRecord(o.inst.AppDir());
    } else {
      ExpectLog(m, RunLog(Join(kInstalled, Started("/AUTO /INIT"))), o.inst.AppDir());
      EXPECT_TRUE(ReadFile(o.local) == r.served) << "the new companion is not installed";
      EXPECT_EQ(RefusedRecord(o.inst.AppDir()), "");
    }
    // The one that ran to its end saw the start mode of a new companion:
    // the restored one after a rollback, else the new one.
    EXPECT_EQ(SeenByCompanion(o.inst), "State=1 Params=/AUTO /INIT\n");
    EXPECT_TRUE(ReadFile(o.local + ".bak") == o.original) << "backup";
    EXPECT_FALSE(Exists(o.inst.AppDir() + "sarvo2006.tmp")) << "Temp left behind";
    EXPECT_FALSE(o.inst.MainProgramRecord().empty()) << "main program not started";
  }
}

TEST(InstallOutcome, FirstInstallationThatCannotStartIsKept) {
  Installation inst;
  inst.AddMainProgram();
  const std::string served = NewerBuild(ReadFile(FixtureProgram("sarvo_standin")), "crash");
  Serve(served);
  ASSERT_TRUE(inst.Run("", "", 120000));
  const std::string why =
      OnWindows() ? "0xC0000005: STATUS_ACCESS_VIOLATION" : "SIGSEGV: Segmentation fault";
  ExpectLog(inst.Messages(),
            RunLog({"Downloaden van BASE/software/sarvo/sarvo2006.exe",
                    "Opgeslagen als APPsarvo2006.exe (*", kUnsignedInstall,
                    "Starting APPsarvo2006.exe with \"/AUTO /INIT\"", "## LastErrorCode: 0: *",
                    "Sarvo " + std::to_string(served.size()) + " bytes start niet (" + why +
                        "), de vorige versie wordt teruggezet",
                    "Geen vorige versie om terug te zetten", "Waiting for Sarvo....",
                    "Sarvo has been closed"}),
            inst.AppDir());
  EXPECT_TRUE(ReadFile(inst.AppDir() + "sarvo2006.exe") == served) << "the download was not kept";
  EXPECT_EQ(RefusedRecord(inst.AppDir()), "");
  EXPECT_FALSE(inst.MainProgramRecord().empty()) << "main program not started";
}

TEST(InstallOutcome, RefusedReleaseIsNotFetchedAgainUntilTheServerOffersAnother) {
  Office o;
  const std::string broken = NewerBuild(o.original, "crash");
  Serve(broken);
  ASSERT_TRUE(o.inst.Run("", "", 120000));
  ASSERT_TRUE(ReadFile(o.local) == o.original) << "the first run did not roll back";
  const std::string refused = RefusedRecord(o.inst.AppDir());
  ASSERT_NE(refused.find("size=" + std::to_string(broken.size())), std::string::npos) << refused;

  // The second start: the server still offers the refused release.
  platform::FileDelete(o.inst.LogPath());
  const std::size_t getsBefore = TestServer::CountRequests(kGet);
  ASSERT_TRUE(o.inst.Run("", "", 120000));
  ExpectLog(o.inst.Messages(),
            RunLog(Join({"Versie met grootte " + std::to_string(broken.size()) +
                         " is eerder geweigerd, geen update"},
                        Started("/AUTO"))),
            o.inst.AppDir());
  EXPECT_EQ(TestServer::CountRequests(kGet), getsBefore) << "the refused release was fetched";
  EXPECT_TRUE(ReadFile(o.local) == o.original);
  EXPECT_EQ(RefusedRecord(o.inst.AppDir()), refused);

  // A release of another length is fetched, installed and started.
  const std::string mended = NewerBuild(o.original, "") + " mended";
  Serve(mended);
  platform::FileDelete(o.inst.LogPath());
  ASSERT_TRUE(o.inst.Run("", "", 120000));
  ExpectLog(o.inst.Messages(), RunLog(Join(kInstalled, Started("/AUTO /INIT"))), o.inst.AppDir());
  EXPECT_TRUE(ReadFile(o.local) == mended) << "the newer release is not installed";
  EXPECT_EQ(RefusedRecord(o.inst.AppDir()), "") << "the refused release was not forgotten";
  // Each run that started a companion to its end left its line: the
  // restored one, the one at hand, the newer one.
  EXPECT_EQ(SeenByCompanion(o.inst),
            "State=1 Params=/AUTO /INIT\nState=1 Params=/AUTO\nState=1 Params=/AUTO /INIT\n");
}

// The refused release is known by what it is, the size and the validator the
// server gives (ETag, else Last-Modified), and the installation folder keeps
// it for every user of the folder. After a first run that installed a release
// that could not start and rolled it back, the server or the user changes as
// a case says, and a second run fetches the release or not.
TEST(InstallOutcome, ARefusedReleaseIsKnownByWhatItIs) {
  struct Case {
    const char* name;
    std::function<void(Office&, const std::string& broken)> between;
    bool fetched;     // the second run fetched the served release
    bool recordKept;  // the folder still knows the refused release afterwards
  };
  const std::vector<Case> cases = {
      {"the same release, for another user of the folder",
       [](Office&, const std::string&) {
         // Another user's own settings know nothing of the refusal.
         ASSERT_TRUE(DeleteRegistryKey(kSarvoKey));
       },
       false, true},
      {"another release of the same length",
       [](Office& o, const std::string& broken) {
         // Padded where the stand-in looks for its mode, so it runs.
         std::string good = NewerBuild(o.original, "");
         good += std::string(broken.size() - good.size(), '-');
         ASSERT_EQ(good.size(), broken.size());
         Serve(good);
         // A modification second of its own, as a new release has.
         TestServer::MarkAsNewer("/software/sarvo/sarvo2006.exe");
       },
       true, false},
      {"the same release, answered without a length",
       [](Office&, const std::string&) {
         TestServer::SetRules(R"({"HEAD /software/sarvo/sarvo2006.exe": {"nolength": true}})");
       },
       false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestServer::SetRules("{}");
    Office o;
    const std::string broken = NewerBuild(o.original, "crash");
    Serve(broken);
    ASSERT_TRUE(o.inst.Run("", "", 120000));
    ASSERT_TRUE(ReadFile(o.local) == o.original) << "the first run did not roll back";
    c.between(o, broken);

    platform::FileDelete(o.inst.LogPath());
    const std::size_t getsBefore = TestServer::CountRequests(kGet);
    ASSERT_TRUE(o.inst.Run("", "", 120000));
    EXPECT_EQ(TestServer::CountRequests(kGet) > getsBefore, c.fetched)
        << ::testing::PrintToString(o.inst.Messages());
    EXPECT_EQ(RefusedRecord(o.inst.AppDir()) != "", c.recordKept) << RefusedRecord(o.inst.AppDir());
    if (c.fetched) {
      EXPECT_FALSE(ReadFile(o.local) == o.original) << "the other release was not installed";
    } else {
      EXPECT_TRUE(ReadFile(o.local) == o.original);
      EXPECT_EQ(SeenByCompanion(o.inst), "State=1 Params=/AUTO /INIT\nState=1 Params=/AUTO\n");
    }
  }
  TestServer::SetRules("{}");
}

// A loader of an older kind kept the refused size per user; it still counts.
TEST(InstallOutcome, AnOldPerUserRefusalStillCounts) {
  Office o;
  const std::string broken = NewerBuild(o.original, "crash");
  Serve(broken);
  ASSERT_TRUE(
      AddRegistryValue(kSarvoKey, "RefusedSize", "REG_DWORD", std::to_string(broken.size())));
  const std::size_t getsBefore = TestServer::CountRequests(kGet);
  ASSERT_TRUE(o.inst.Run("", "", 120000));
  EXPECT_EQ(TestServer::CountRequests(kGet), getsBefore) << "the refused release was fetched";
  EXPECT_TRUE(ReadFile(o.local) == o.original);
  EXPECT_EQ(RefusedSize(), Hex(broken.size()));
}

}  // namespace
