// The companion tool's update-and-launch flow against the real update
// server, the real settings store and a real companion stand-in that records
// the start mode it found. The flow is handed an installation folder of its
// own, a temporary one, and the log goes to that folder too.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "companion/SynchedThreads.h"
#include "companion/UpdateSignature.h"
#include "companion/partial_download.h"
#include "companion/rollback.h"
#include "companion/u_SarvoChecker.h"
#include "companion/u_SarvoPrep.h"
#include "loader/SplashForm.h"
#include "platform/file_lock.h"
#include "platform/files.h"
#include "platform/gui.h"
#include "platform/process.h"
#include "platform/shell.h"
#include "platform/sysinfo.h"
#include "support/fixtures.h"
#include "support/testing.h"
#include "support/trust.h"
#include "support/u_Utility.h"
#include "support/update_server.h"

using namespace testing_support;

namespace {

const char* const kExePath = "/software/sarvo/sarvo2006.exe";
const char* const kReachPath = "/software/sarvo/versie.txt";
const char* const kWaitText =
    "Een moment geduld a.u.b., er worden nieuwe applicatie onderdelen gedownload.";

class SarvoUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::InitApplication();
    dir_ = IncludeTrailingPathDelimiter(install_.path());
    companion_ = dir_ + "sarvo2006.exe";
    savedLogFolder_ = LogFolder;
    LogFolder = install_.path();
    Clean();
    standin_ = ReadFile(FixtureProgram("sarvo_standin"));
    ASSERT_FALSE(standin_.empty());
    // The store starts with a start mode of an earlier run, so a test sees
    // whether the flow touched it.
    auto settings = GetSarvoSettings();
    settings->SetState(0);
    settings->SetParams("earlier");
  }
  void TearDown() override {
    Clean();
    LogFolder = savedLogFolder_;
  }

  void Clean() {
    // The loader never removes its lock file; the tests do, between cases.
    RemoveAll(companion_ + ".lock");
    for (const std::string& f : {companion_, companion_ + ".bak", dir_ + "sarvo2006.tmp",
                                 dir_ + "sarvo-seen.txt", dir_ + "NoSarvoUpdate.txt", LogPath()}) {
      if (Exists(f)) platform::FileDelete(f);
    }
    TestServer::SetRules("{}");
    // What a download that broke off kept for the next start.
    companion::PartialDownload(companion_).Discard();
  }
  std::string LogPath() const {
    return dir_ + ChangeFileExt(ExtractFileName(TUtility::ExeName()), ".log");
  }
  std::string Log() const { return Exists(LogPath()) ? ReadFile(LogPath()) : std::string(); }
  std::string Seen() const {
    return Exists(dir_ + "sarvo-seen.txt") ? ReadFile(dir_ + "sarvo-seen.txt") : std::string();
  }

  // Runs the flow and keeps the status texts it handed out.
  void Run() {
    SarvoTesterT tester(nullptr, dir_);
    tester.OnStatus = [this](const void*, const std::string& msg) { status_.push_back(msg); };
    tester.UpdateAndStart();
  }

  PrivateRegistry registry_;
  TempDir install_;
  std::string savedLogFolder_;
  std::string dir_, companion_, standin_;
  std::vector<std::string> status_;
};

// The server's copy differs from the local one by a tail of padding, which
// neither a PE nor an ELF loader minds, so both copies stay runnable.
std::string Newer(const std::string& exe) { return exe + std::string(4096, 'N'); }

// A whole program, but for the other platform.
std::string OtherPlatformsProgram() {
  return OnWindows() ? TinyElf() : ReadFile(PeFixture("no_version.exe"));
}

TEST_F(SarvoUpdateTest, ComparesDownloadsInstallsAndStartsAsTheCaseDemands) {
  struct Case {
    const char* name;
    bool localExists;
    bool serverNewer;            // else the server serves the local bytes
    bool reachable;              // versie.txt can be fetched (see the rules)
    bool marker;                 // NoSarvoUpdate.txt in the installation folder
    std::string rules;           // .rules.json for the executable's path
    bool expectDownload;         // a GET of the executable
    bool expectInstalled;        // the companion holds the server's copy afterwards
    const char* expectMode;      // "" = nothing started
    const char* expectLog = "";  // a line the log must hold
    // What every URL serves instead of the executable: "login" (a guest
    // network's login page) or "other" (the other platform's program).
    const char* serve = "";
  };
  auto rule = [](const std::string& body) {
    return "{\"/software/sarvo/sarvo2006.exe\": " + body + "}";
  };
  // A rule for the download alone: the size check's HEAD declares the length.
  auto getRule = [](const std::string& body) {
    return "{\"GET /software/sarvo/sarvo2006.exe\": " + body + "}";
  };
  const std::string login =
      "<!DOCTYPE html>\r\n<html><head><title>Inloggen</title></head><body>"
      "<form method=\"post\">Welkom op het gastnetwerk</form></body></html>\r\n";
  const std::vector<Case> cases = {
      {"up to date", true, false, true, false, "{}", false, false, "/AUTO"},
      {"size differs", true, true, true, false, "{}", true, true, "/AUTO /INIT"},
      {"first installation", false, true, true, false, "{}", true, true, "/AUTO /INIT"},
      {"HEAD without length", true, false, true, false,
       R"({"/software/sarvo/sarvo2006.exe": {"nolength": true}})", true, true, "/AUTO /INIT"},
      {"reachability file missing", true, true, false, false,
       R"({"/software/sarvo/versie.txt": {"status": "404 Not Found"}})", false, false, "/AUTO"},
      {"marker file", true, true, true, true, "{}", false, false, "/AUTO"},
      {"404", true, true, true, false,
       R"({"/software/sarvo/sarvo2006.exe": {"status": "404 Not Found"}})", true, false, ""},
      {"cut after 10 bytes", true, true, true, false,
       R"({"/software/sarvo/sarvo2006.exe": {"cut": 10}})", true, false, ""},
      // A cut body from a server that names no validator, so that nothing
      // can be resumed (the resumes have tests of their own).
      {"cut one byte short", true, true, true, false,
       R"({"/software/sarvo/sarvo2006.exe": {"cut": CUT, "no_validators": true}})", true, false,
       ""},
      // A 204 to the size check sends the flow to the download; the same 204
      // to the download has no body, which must not replace the executable.
      {"204 No Content", true, false, true, false,
       R"({"/software/sarvo/sarvo2006.exe": {"status": "204 No Content"}})", true, false, "",
       "Response: \"204: "},
      {"body stalls within the time limit", true, true, true, false,
       R"({"/software/sarvo/sarvo2006.exe": {"stall_body": {"after": 1000, "seconds": 1.5}}})",
       true, true, "/AUTO /INIT"},
      // A network that answers every URL with its own page: the page is no
      // program, so it is neither installed nor started.
      {"login page for every URL", true, true, true, false, "{}", true, false, "", "", "login"},
      {"other platform's program", true, true, true, false, "{}", true, false, "", "", "other"},
      {"cut at 0", true, true, true, false, rule(R"({"cut": 0})"), true, false, ""},
      {"cut at 1", true, true, true, false, rule(R"({"cut": 1})"), true, false, ""},
      {"cut at half", true, true, true, false, rule(R"({"cut": HALF, "no_validators": true})"),
       true, false, ""},
      // Without a length only the content can tell a cut body, and the length
      // that the size check's HEAD declared.
      {"no length, cut at 0", true, true, true, false, getRule(R"({"nolength": true, "cut": 0})"),
       true, false, ""},
      {"no length, cut at 1", true, true, true, false, getRule(R"({"nolength": true, "cut": 1})"),
       true, false, ""},
      {"no length, cut at half", true, true, true, false,
       getRule(R"({"nolength": true, "cut": HALF})"), true, false, ""},
      {"no length, all but one byte", true, true, true, false,
       getRule(R"({"nolength": true, "cut": CUT})"), true, false, ""},
      {"no length in HEAD and GET, cut at half", true, true, true, false,
       rule(R"({"nolength": true, "cut": HALF})"), true, false, ""},
      {"no length, whole", true, true, true, false, rule(R"({"nolength": true})"), true, true,
       "/AUTO /INIT"},
      // A body longer than the size check's length is cut off a byte past it
      // and refused, whether the GET declares another length or none: a
      // server that streams without end cannot fill the volume.
      {"GET declares more than the size check", true, true, true, false,
       R"({"HEAD /software/sarvo/sarvo2006.exe": {"length": HALF}})", true, false, "",
       "Oorzaak: EIdHTTPInvalidResponse: Response body longer than "},
      {"GET without a length, longer than the size check", true, true, true, false,
       R"({"HEAD /software/sarvo/sarvo2006.exe": {"length": HALF},)"
       R"( "GET /software/sarvo/sarvo2006.exe": {"nolength": true}})",
       true, false, "", "Oorzaak: EIdHTTPInvalidResponse: Response body longer than "},
      // The Windows build takes no chunked answer (see the HTTP client's test).
      {"chunked, whole", true, true, true, false, rule(R"({"chunked": 4096})"), true, !OnWindows(),
       OnWindows() ? "" : "/AUTO /INIT"},
      {"chunked, cut at 0", true, true, true, false, rule(R"({"chunked": 4096, "cut_chunked": 0})"),
       true, false, ""},
      {"chunked, cut at 1", true, true, true, false, rule(R"({"chunked": 4096, "cut_chunked": 1})"),
       true, false, ""},
      {"chunked, cut at half", true, true, true, false,
       rule(R"({"chunked": 4096, "cut_chunked": HALF})"), true, false, ""},
      {"chunked, all but one byte", true, true, true, false,
       rule(R"({"chunked": 4096, "cut_chunked": CUT})"), true, false, ""},
      {"chunked, all data but no last chunk", true, true, true, false,
       rule(R"({"chunked": 4096, "cut_chunked": ALL})"), true, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Clean();
    status_.clear();
    GetSarvoSettings()->SetParams("earlier");
    std::string server = c.serverNewer ? Newer(standin_) : standin_;
    const std::string serve = c.serve;
    if (serve == "login") server = login;
    if (serve == "other") server = OtherPlatformsProgram();
    TestServer::PutFile(kExePath, server);
    TestServer::PutFile(kReachPath, serve == "login" ? login : "2.0\r\n");
    std::string rules = c.rules;
    for (const auto& mark : {std::make_pair(std::string("CUT"), server.size() - 1),
                             std::make_pair(std::string("HALF"), server.size() / 2),
                             std::make_pair(std::string("ALL"), server.size())}) {
      const std::size_t at = rules.find(mark.first);
      if (at != std::string::npos)
        rules.replace(at, mark.first.size(), std::to_string(mark.second));
    }
    TestServer::SetRules(rules);
    // A copy keeps the stand-in's execute bit on the Linux port.
    if (c.localExists) {
      ASSERT_TRUE(platform::FileCopy(FixtureProgram("sarvo_standin"), companion_, false));
    }
    if (c.marker) WriteFile(dir_ + "NoSarvoUpdate.txt", "");
    const std::size_t getsBefore = TestServer::CountRequests(std::string("GET ") + kExePath);

    Run();

    const std::string log = Log();
    EXPECT_NE(std::string::npos, log.find(c.expectLog)) << log;
    EXPECT_EQ(c.expectDownload,
              TestServer::CountRequests(std::string("GET ") + kExePath) > getsBefore);
    // A failed or cut download never leaves its temporary file, and never
    // touches the installed executable.
    EXPECT_FALSE(Exists(dir_ + "sarvo2006.tmp"));
    if (c.expectInstalled) {
      EXPECT_TRUE(server == ReadFile(companion_)) << "installed copy differs from the server's";
      EXPECT_NE(std::string::npos, log.find("Opgeslagen als " + companion_));
      if (c.localExists) {
        EXPECT_TRUE(standin_ == ReadFile(companion_ + ".bak"))
            << "backup is not the old executable";
      } else {
        EXPECT_FALSE(Exists(companion_ + ".bak"));
      }
    } else if (c.localExists) {
      EXPECT_TRUE(standin_ == ReadFile(companion_)) << "the installed executable was touched";
      EXPECT_FALSE(Exists(companion_ + ".bak"));
    }
    // The wait text shows only when a download is about to be tried; the
    // status line is cleared on every path.
    const bool updateBranch = c.expectDownload || c.serverNewer;
    const bool waitTextShown =
        std::find(status_.begin(), status_.end(), kWaitText) != status_.end();
    EXPECT_EQ(updateBranch && !c.marker, waitTextShown);
    ASSERT_FALSE(status_.empty());
    EXPECT_EQ("", status_.back());

    auto settings = GetSarvoSettings();
    EXPECT_EQ(0, settings->GetState());
    const std::string mode = c.expectMode;
    if (mode.empty()) {
      EXPECT_EQ("earlier", settings->GetParams());
      EXPECT_EQ(std::string::npos, log.find("Starting "));
      EXPECT_EQ("", Seen());
      EXPECT_NE(std::string::npos, log.find("====[ Exception report ]"));
    } else {
      EXPECT_EQ("", settings->GetParams());
      EXPECT_NE(std::string::npos, log.find("Starting " + companion_ + " with \"" + mode + "\""))
          << log;
      EXPECT_NE(std::string::npos, log.find("## LastErrorCode: "));
      EXPECT_EQ("State=1 Params=" + mode + "\n", Seen());
    }
  }
}

// Another loader of the same folder holds the update lock. The flow waits for
// it with the window alive; when the other loader installed the server's copy
// meanwhile, the flow compares again and fetches nothing; when the lock stays
// held past the limit, it starts the companion it has. A lock file that cannot
// be made does not stop the update.
TEST_F(SarvoUpdateTest, WaitsForAnotherLoadersUpdate) {
  struct Case {
    const char* name;
    bool held;           // another loader holds the lock when the flow begins
    int releaseAfterMs;  // it installs the server's copy and lets go; -1 never
    bool lockIsFolder;   // the lock file's name is taken by a folder
    bool expectDownload;
    bool expectInstalled;  // the companion holds the server's copy afterwards
    const char* expectMode;
    std::vector<std::string> logLines;  // in this order
  };
  const std::string lock = "LOCK";
  const std::vector<Case> cases = {
      {"other loader finishes within the limit",
       true,
       800,
       false,
       false,
       true,
       "/AUTO",
       {"Sarvo wordt al bijgewerkt door een andere loader, wachten op LOCK", "Starting "}},
      {"other loader holds it past the limit",
       true,
       -1,
       false,
       false,
       false,
       "/AUTO",
       {"Sarvo wordt al bijgewerkt door een andere loader, wachten op LOCK",
        "Wachten op LOCK duurt te lang, Sarvo wordt niet bijgewerkt", "Starting "}},
      {"lock file cannot be made",
       false,
       -1,
       true,
       true,
       true,
       "/AUTO /INIT",
       {"Vergrendelen van LOCK is mislukt (", "Downloaden van ", "Opgeslagen als ", "Starting "}},
      {"nobody holds it",
       false,
       -1,
       false,
       true,
       true,
       "/AUTO /INIT",
       {"Downloaden van ", "Opgeslagen als ", "Starting "}},
  };
  SarvoTesterT::SetUpdateLockLimitForTesting(2500);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Clean();
    status_.clear();
    const std::string server = Newer(standin_);
    TestServer::PutFile(kExePath, server);
    TestServer::PutFile(kReachPath, "2.0\r\n");
    ASSERT_TRUE(platform::FileCopy(FixtureProgram("sarvo_standin"), companion_, false));
    if (c.lockIsFolder) MakeDirs(companion_ + ".lock");
    const std::size_t getsBefore = TestServer::CountRequests(std::string("GET ") + kExePath);

    // The other loader: holds the lock, then (if it finishes) installs the
    // server's copy and lets go, from a thread of its own.
    platform::FileLock other;
    if (c.held) {
      ASSERT_EQ(other.TryLock(companion_ + ".lock"), platform::FileLock::Result::Acquired);
    }
    std::atomic<bool> stillHeld{c.held};
    std::thread finisher;
    if (c.held && c.releaseAfterMs >= 0) {
      finisher = std::thread([&, ms = c.releaseAfterMs] {
        platform::SleepMs(static_cast<std::uint32_t>(ms));
        // A copy onto the companion's name keeps it runnable on the Linux
        // port.
        WriteFile(dir_ + "sarvo2006.new", server);
        platform::FileCopy(dir_ + "sarvo2006.new", companion_, false);
        platform::FileDelete(dir_ + "sarvo2006.new");
        stillHeld = false;
        other.Unlock();
      });
    }
    // The window is serviced while the flow waits for the lock.
    int handled = 0;
    bool handledWhileHeld = false;
    platform::SplashWindow window(LoaderSplashForm(), {[&](std::uint32_t) {
                                                         ++handled;
                                                         handledWhileHeld = stillHeld;
                                                       },
                                                       nullptr, nullptr});
    window.Post(1024 + 151);
    const std::uint32_t start = platform::TickCount();
    Run();
    const std::uint32_t took = platform::TickCount() - start;
    if (finisher.joinable()) finisher.join();
    other.Unlock();
    window.Close();

    EXPECT_EQ(c.expectDownload,
              TestServer::CountRequests(std::string("GET ") + kExePath) > getsBefore);
    EXPECT_TRUE((c.expectInstalled ? server : standin_) == ReadFile(companion_))
        << "the companion is not as expected";
    EXPECT_EQ("State=1 Params=" + std::string(c.expectMode) + "\n", Seen());
    EXPECT_EQ(1, handled) << "the window was not serviced";
    EXPECT_EQ(c.held, handledWhileHeld) << "the window was not serviced during the wait";
    if (c.held && c.releaseAfterMs < 0) {
      EXPECT_GE(took, 2500u) << "gave up before the limit";
    }
    const std::string log = Log();
    std::size_t from = 0;
    for (std::string line : c.logLines) {
      for (std::size_t at; (at = line.find(lock)) != std::string::npos;) {
        line.replace(at, lock.size(), companion_ + ".lock");
      }
      const std::size_t at = log.find(line, from);
      EXPECT_NE(std::string::npos, at) << "missing or out of order: " << line << "\n" << log;
      if (at != std::string::npos) from = at + line.size();
    }
    if (!c.held) {
      EXPECT_EQ(std::string::npos, log.find("andere loader"));
    }
    EXPECT_TRUE(Exists(companion_ + ".lock")) << "the lock file is never removed";
  }
  SarvoTesterT::SetUpdateLockLimitForTesting(10 * 60 * 1000);
}

// A download that changes the version text is logged with both versions,
// and the new copy is started in its first-run mode. The version resource is
// a Windows one; on the Linux port, where only a Linux program may be
// installed, the change goes from a Windows file with a version to a program
// without one (and that Windows file, being no program there, is not backed
// up).
TEST_F(SarvoUpdateTest, LogsTheVersionChangeOfAnUpdate) {
  ASSERT_TRUE(platform::FileCopy(PeFixture("ver_nl_1_0.exe"), companion_, false));
  TestServer::PutFile(kExePath,
                      OnWindows() ? Newer(ReadFile(PeFixture("ver_nl_1_1.exe"))) : Newer(standin_));
  TestServer::PutFile(kReachPath, "2.0");

  Run();

  const std::string log = Log();
  const std::string after = OnWindows() ? "1.1" : "";
  EXPECT_NE(std::string::npos, log.find("sarvo2006.exe is geupdate van v1.0 naar v" + after))
      << log;
  EXPECT_NE(std::string::npos, log.find("Starting " + companion_ + " with \"/AUTO /INIT\""));
  EXPECT_EQ(after, TUtility::ReadFileVersion(companion_));
  if (OnWindows()) {
    EXPECT_EQ("1.0", TUtility::ReadFileVersion(companion_ + ".bak"));
  } else {
    EXPECT_FALSE(Exists(companion_ + ".bak"));
    EXPECT_NE(std::string::npos, log.find("Backup overgeslagen: " + companion_));
  }
}

// The install step on its own, for the file-system failures the flow cannot
// easily provoke: each keeps the installed executable intact and says why.
TEST_F(SarvoUpdateTest, InstallKeepsTheExecutableWhenAFileCannotBeReplaced) {
  namespace fs = std::filesystem;
  struct Case {
    const char* name;
    const char* rules;
    bool readOnlyBackup;
    bool runningExe;    // the executable is a running program
    bool tempIsFolder;  // the temporary file's name is taken by a folder
    int value;
    const char* exeAfter;
    const char* bakAfter;
    bool tmpKept;
    std::vector<std::string> logLines;  // in this order
  };
  const std::string exe = "sarvo2006.exe";
  const std::vector<Case> cases = {
      {"installed over an old backup and a stale temp file",
       "{}",
       false,
       false,
       false,
       1,
       "new",
       "OLD",
       false,
       {"Downloaden van ", "Opgeslagen als "}},
      {"server error",
       R"({"/software/sarvo/sarvo2006.exe": {"status": "500 Internal Server Error"}})",
       false,
       false,
       false,
       0,
       "OLD",
       "older",
       false,
       {"Downloaden van ", "====[ Exception report ]"}},
      {"backup cannot be replaced",
       "{}",
       true,
       false,
       false,
       1,
       "OLD",
       "older",
       true,
       {"Opgeslagen als ", "Backup maken van DIR" + exe + " naar DIR" + exe + ".bak is mislukt!",
        "Update zal doorgaan",
        "Backup maken van \"DIR" + exe + "\" naar \"DIR" + exe + ".bak\" is mislukt!"}},
      {"executable in use",
       "{}",
       false,
       true,
       false,
       1,
       "OLD",
       "OLD",
       true,
       {"Opgeslagen als ",
        "Copieren van \"DIRsarvo2006.tmp\" naar \"DIR" + exe + "\" is mislukt!"}},
      {"temporary file cannot be created",
       "{}",
       false,
       false,
       true,
       0,
       "OLD",
       "older",
       false,
       {"====[ Exception report ]"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    platform::FileDelete(LogPath());
    const std::string file = dir / exe;
    // "OLD" in the table stands for the executable as it was before, "new"
    // for the server's copy.
    const std::string old = ReadFile(FixtureProgram(c.runningExe ? "sleeper" : "sarvo_standin"));
    const std::string fresh = Newer(standin_);
    if (c.runningExe) {
      ASSERT_TRUE(platform::FileCopy(FixtureProgram("sleeper"), file, false));
    } else {
      WriteFile(file, old);
    }
    WriteFile(file + ".bak", "older");
    if (c.tempIsFolder) {
      fs::create_directory(dir / "sarvo2006.tmp");
    } else {
      WriteFile(dir / "sarvo2006.tmp", "stale");
    }
    // The running program holds its executable file the way a companion tool
    // that the user still has open does.
    platform::ProcessHandle running;
    if (c.runningExe) {
      platform::ShellExecResult started = platform::ShellExecuteProcess(
          "open", file, "60000", dir.path(), platform::ShowCommand::Hidden);
      ASSERT_TRUE(started.ok) << started.error;
      running = std::move(started.process);
      ASSERT_TRUE(running.IsValid());
      // Give the program time to map its image.
      platform::SleepMs(500);
    }
    if (c.readOnlyBackup) {
      fs::permissions(file + ".bak",
                      fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                      fs::perm_options::remove);
    }
    TestServer::PutFile(kExePath, fresh);
    TestServer::SetRules(c.rules);

    downloadStatusT status(downloadStatusT::kNotAttempted);
    status.FileName = file;
    status.URL = TestServer::Url(kExePath);
    SarvoTesterT tester(nullptr, dir.path());
    tester.DownloadUpdate(&status);

    if (running.IsValid()) {
      running.Terminate();
      running.Wait(5000);
    }
    auto expected = [&old, &fresh](const std::string& text) {
      return text == "OLD" ? old : text == "new" ? fresh : text;
    };
    EXPECT_EQ(c.value, status.Value);
    EXPECT_TRUE(expected(c.exeAfter) == ReadFile(file)) << "the executable is not as expected";
    EXPECT_TRUE(expected(c.bakAfter) == ReadFile(file + ".bak")) << "the backup is not as expected";
    if (!c.tempIsFolder) {
      EXPECT_EQ(c.tmpKept, Exists(dir / "sarvo2006.tmp"));
    }
    if (c.tmpKept) {
      EXPECT_TRUE(fresh == ReadFile(dir / "sarvo2006.tmp")) << "the kept download differs";
    }
    const std::string log = Log();
    std::size_t from = 0;
    for (std::string line : c.logLines) {
      for (std::size_t at; (at = line.find("DIR")) != std::string::npos;) {
        line.replace(at, 3, dir.path());
      }
      const std::size_t at = log.find(line, from);
      EXPECT_NE(std::string::npos, at) << "missing or out of order: " << line << "\n" << log;
      if (at != std::string::npos) from = at + line.size();
    }
  }
}

// Bad updates never cost the last good copy: nothing broken is installed, and
// an installed file that is broken already is never backed up over a good
// backup.
TEST_F(SarvoUpdateTest, BackupKeepsTheLastGoodCopyThroughBadUpdates) {
  const std::string login = "<html><body>Inloggen op het gastnetwerk</body></html>";
  const std::string good = standin_;
  const std::string newer = Newer(standin_);
  ASSERT_TRUE(platform::FileCopy(FixtureProgram("sarvo_standin"), companion_, false));
  TestServer::PutFile(kReachPath, "2.0");

  // Two bad updates in a row.
  TestServer::PutFile(kExePath, login);
  for (int run = 1; run <= 2; ++run) {
    SCOPED_TRACE("bad update " + std::to_string(run));
    Run();
    EXPECT_TRUE(good == ReadFile(companion_)) << "the companion was replaced by the bad download";
    EXPECT_FALSE(Exists(companion_ + ".bak"));
    EXPECT_FALSE(Exists(dir_ + "sarvo2006.tmp"));
  }
  // Then a good one: the backup is the last good copy.
  TestServer::PutFile(kExePath, newer);
  Run();
  EXPECT_TRUE(newer == ReadFile(companion_)) << "the good update was not installed";
  EXPECT_TRUE(good == ReadFile(companion_ + ".bak")) << "the backup is not the last good copy";

  // An installed companion that is broken (a fragment left by an older
  // loader) is replaced, but not backed up: the good backup stays.
  WriteFile(companion_, login);
  platform::FileDelete(LogPath());
  TestServer::PutFile(kExePath, newer + "2");
  Run();
  EXPECT_TRUE(newer + "2" == ReadFile(companion_)) << "the good update was not installed";
  EXPECT_TRUE(good == ReadFile(companion_ + ".bak")) << "the broken file was backed up";
  EXPECT_NE(std::string::npos,
            Log().find("Backup overgeslagen: " + companion_ + " is geen geldig programma"))
      << Log();
}

// The log says why a download failed: right after the exception report, one
// line with the report's category, the error's class and its message.
TEST_F(SarvoUpdateTest, FailedDownloadLogsItsCause) {
  const std::string exe = Newer(standin_);
  struct Case {
    const char* name;
    std::string url;
    std::string rules;
    bool tempIsFolder;
    const char* cause;  // the start of the text after "Oorzaak: "
    const char* more;   // a further part of the message
  };
  const std::string key = "\"/software/sarvo/sarvo2006.exe\": ";
  const std::vector<Case> cases = {
      {"404", TestServer::Url(kExePath), "{" + key + R"({"status": "404 Not Found"}})", false,
       "EIdHTTPProtocolException: HTTP/1.1 404 Not Found", ""},
      {"refused connection", TestServer::RefusingUrl(kExePath), "{}", false,
       "EIdSocketError: ", "connect"},
      {"cut body", TestServer::Url(kExePath), "{" + key + R"({"cut": 100}})", false,
       "EIdConnClosedGracefully: ", "closed"},
      {"cut chunked body", TestServer::Url(kExePath), "{" + key + R"({"cut_chunked": 100}})", false,
       OnWindows() ? "EIdHTTPInvalidResponse: " : "EIdConnClosedGracefully: ",
       OnWindows() ? "Transfer-Encoding" : "closed"},
      {"not an executable", TestServer::Url("/software/sarvo/versie.txt"), "{}", false,
       "EInvalidExecutable: ", "geen geldig programma"},
      {"temporary file not creatable", TestServer::Url(kExePath), "{}", true,
       "EFCreateError: Cannot create file", "sarvo2006.tmp"},
  };
  TestServer::PutFile(kExePath, exe);
  TestServer::PutFile(kReachPath, "<html>Inloggen</html>");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    platform::FileDelete(LogPath());
    TestServer::SetRules(c.rules);
    if (c.tempIsFolder) MakeDirs(dir / "sarvo2006.tmp");
    downloadStatusT status(downloadStatusT::kNotAttempted);
    status.FileName = dir / "sarvo2006.exe";
    status.URL = c.url;
    SarvoTesterT tester(nullptr, dir.path());
    tester.DownloadUpdate(&status);
    EXPECT_EQ(downloadStatusT::kFailed, status.Value);

    const std::vector<std::string> lines = SplitCrLf(Log());
    std::size_t report = lines.size();
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].find("====[ Exception report ]") != std::string::npos) report = i;
    }
    ASSERT_LT(report + 5, lines.size()) << Log();
    const std::string& cause = lines[report + 5];
    // The category column (the first 25 characters of the context) is the
    // report's own.
    EXPECT_NE(std::string::npos, cause.substr(0, 79).find("DudozividEreradOdavazevoz")) << cause;
    const std::string text = cause.substr(std::min<std::size_t>(79, cause.size()));
    EXPECT_EQ(0u, text.find(std::string("Oorzaak: ") + c.cause)) << cause;
    EXPECT_NE(std::string::npos, text.find(c.more)) << cause;
  }
}

// A disk that fills up during the download or during the backup, made real
// by a small tmpfs (the Linux port run as root; elsewhere the case is
// skipped): the installed executable stays whole and the log says why.
TEST_F(SarvoUpdateTest, DiskFullKeepsTheExecutableWhole) {
  if (OnWindows()) GTEST_SKIP() << "needs a small file system the test can mount";
  // Sizes in 1/1024 of a unit: 1 MiB, or more where the program (built with
  // a sanitizer, say) is larger, so the installed program fits its padding.
  struct Case {
    const char* name;
    std::size_t size;      // of the file system
    std::size_t oldBytes;  // the installed program, padded to this size
    std::size_t newBytes;  // the server's program, padded to this size
    int value;
    bool tmpKept;
    const char* log;  // a line the log must hold
  };
  const std::vector<Case> cases = {
      {"during the download", 4096, 1024, 8192, 0, false,
       "Oorzaak: EWriteError: Stream write error: "},
      {"during the backup", 3584, 1200, 1600, 1, true,
       "Backup maken van \"DIRsarvo2006.exe\" naar \"DIRsarvo2006.exe.bak\" is mislukt!"},
  };
  const std::string program = ReadFile(FixtureProgram("sleeper"));
  const std::size_t MiB = 1 << 20;
  // Whole 64 KiB steps, so every size below is a whole number of KiB.
  const std::size_t unit = std::max(MiB, (program.size() + 0xFFFF) & ~std::size_t{0xFFFF});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string mount =
        "mount -t tmpfs -o size=" + std::to_string(c.size * unit / 1024 / 1024) + "k tmpfs '" +
        dir.path() + "' 2>/dev/null";
    if (std::system(mount.c_str()) != 0) GTEST_SKIP() << "cannot mount a tmpfs here";
    struct Unmount {
      std::string path;
      ~Unmount() { std::system(("umount '" + path + "'").c_str()); }
    } unmount{dir.path()};
    platform::FileDelete(LogPath());
    const std::string file = dir / "sarvo2006.exe";
    const std::string old = program + std::string(c.oldBytes * unit / 1024 - program.size(), 'O');
    const std::string fresh = program + std::string(c.newBytes * unit / 1024 - program.size(), 'N');
    WriteFile(file, old);
    TestServer::PutFile(kExePath, fresh);

    downloadStatusT status(downloadStatusT::kNotAttempted);
    status.FileName = file;
    status.URL = TestServer::Url(kExePath);
    SarvoTesterT tester(nullptr, dir.path());
    tester.DownloadUpdate(&status);

    EXPECT_EQ(c.value, status.Value);
    EXPECT_TRUE(old == ReadFile(file)) << "the installed executable changed";
    EXPECT_EQ(c.tmpKept, Exists(dir / "sarvo2006.tmp"));
    // A piece of a backup is no backup, and it holds space the disk lacks.
    EXPECT_FALSE(Exists(dir / "sarvo2006.exe.bak")) << "a piece of the backup was left";
    if (c.tmpKept) {
      EXPECT_TRUE(fresh == ReadFile(dir / "sarvo2006.tmp"));
    }
    std::string line = c.log;
    for (std::size_t at; (at = line.find("DIR")) != std::string::npos;) {
      line.replace(at, 3, dir.path());
    }
    EXPECT_NE(std::string::npos, Log().find(line)) << Log();
  }
}

// A loader that is killed at the moment the companion's file starts to
// change, or at any other moment of an install, leaves that file whole: the
// old one or the new one, never a piece.

// Ends `runner` the moment the size of `file` differs from `size`, or the
// file is gone; true when that happened before the runner ended by itself.
bool KillWhenItsSizeChanges(platform::ProcessHandle& runner, const std::string& file,
                            std::uint32_t size) {
  bool changed = false;
  for (;;) {
    std::uint32_t now = 0;
    if (!platform::FindFirstSize(file, now) || now != size) {
      runner.Terminate();
      changed = true;
      break;
    }
    if (runner.Wait(0) == platform::ProcessHandle::WaitResult::Ended) break;
  }
  runner.Wait(10000);
  return changed;
}

TEST_F(SarvoUpdateTest, KilledInstallLeavesTheOldOrTheNewFileWhole) {
  // Big enough that writing the file takes a while, so a kill can fall inside.
  const std::string old = standin_ + std::string(24 << 20, 'O');
  const std::string fresh = standin_ + std::string(32 << 20, 'N');
  TestServer::PutFile(kExePath, fresh);
  TempDir dir;
  const std::string file = dir / "sarvo2006.exe";
  const std::string args = "\"" + file + "\" " + TestServer::Url(kExePath);
  std::uint32_t oldSize = 0;

  auto start = [&]() {
    WriteFile(file, old);
    platform::FileDelete(file + ".bak");
    EXPECT_TRUE(platform::FindFirstSize(file, oldSize));
    platform::ShellExecResult started = platform::ShellExecuteProcess(
        "open", FixtureProgram("install_runner"), args, dir.path(), platform::ShowCommand::Hidden);
    EXPECT_TRUE(started.ok) << started.error;
    return std::move(started.process);
  };
  auto check = [&](const std::string& when) {
    const std::string now = ReadFile(file);
    EXPECT_TRUE(now == old || now == fresh)
        << when << ": the companion is a piece of " << now.size() << " bytes";
  };

  // Killed the moment its size or its presence changes.
  {
    platform::ProcessHandle runner = start();
    ASSERT_TRUE(runner.IsValid());
    const bool changed = KillWhenItsSizeChanges(runner, file, oldSize);
    EXPECT_TRUE(changed) << "the install ended without the file ever changing";
    check("killed as the file started to change");
  }
  // Killed at a spread of moments across the whole run.
  for (std::uint32_t delay : {0u, 30u, 60u, 120u, 200u, 300u, 500u}) {
    platform::ProcessHandle runner = start();
    ASSERT_TRUE(runner.IsValid());
    if (runner.Wait(delay) != platform::ProcessHandle::WaitResult::Ended) runner.Terminate();
    runner.Wait(10000);
    check("killed after " + std::to_string(delay) + " ms");
  }
}

// A rollback while another loader of the folder downloads or installs: that
// loader holds the update lock, and its temporary file and the companion are
// its own. The rollback leaves them all as they are and says so; once the
// lock is free, the same rollback puts the backup back.
TEST_F(SarvoUpdateTest, ARollbackLeavesAllAsItIsWhileAnotherLoaderUpdates) {
  ASSERT_TRUE(platform::FileCopy(FixtureProgram("sarvo_standin"), companion_ + ".bak", false));
  WriteFile(companion_, "the release that cannot start");
  const std::string temp = dir_ + "sarvo2006.tmp";
  WriteFile(temp, "the other loader's download");
  platform::FileLock other;
  ASSERT_EQ(other.TryLock(companion_ + ".lock"), platform::FileLock::Result::Acquired);

  EXPECT_EQ(companion::RollBack(companion_), companion::RollbackResult::LockHeld);
  EXPECT_EQ(ReadFile(companion_), "the release that cannot start");
  EXPECT_EQ(ReadFile(temp), "the other loader's download");
  EXPECT_NE(Log().find("Sarvo wordt bijgewerkt door een andere loader (" + companion_ +
                       ".lock), de vorige versie wordt niet teruggezet"),
            std::string::npos)
      << Log();

  other.Unlock();
  EXPECT_EQ(companion::RollBack(companion_), companion::RollbackResult::RolledBack);
  EXPECT_TRUE(ReadFile(companion_) == ReadFile(companion_ + ".bak"));
  EXPECT_FALSE(Exists(temp));
}

// The rollback of a companion that cannot start, killed at a spread of
// moments and the moment the companion's file changes, leaves the companion
// whole: the new one or the old one from the backup, never a piece; the
// backup itself stays whole too.
TEST_F(SarvoUpdateTest, KilledRollbackLeavesTheNewOrTheOldFileWhole) {
  if (OnWindows()) GTEST_SKIP() << "a kill at random moments is a test of the Linux port";
  // Big enough that copying the backup takes a while, so a kill can fall
  // inside.
  const std::string old = standin_ + std::string(24 << 20, 'O');
  const std::string fresh = standin_ + std::string(32 << 20, 'N');
  TempDir dir;
  const std::string file = dir / "sarvo2006.exe";
  const std::string args = "--rollback \"" + file + "\"";
  std::uint32_t newSize = 0;

  auto start = [&]() {
    WriteFile(file, fresh);
    WriteFile(file + ".bak", old);
    EXPECT_TRUE(platform::FindFirstSize(file, newSize));
    platform::ShellExecResult started = platform::ShellExecuteProcess(
        "open", FixtureProgram("install_runner"), args, dir.path(), platform::ShowCommand::Hidden);
    EXPECT_TRUE(started.ok) << started.error;
    return std::move(started.process);
  };
  auto check = [&](const std::string& when) {
    const std::string now = ReadFile(file);
    EXPECT_TRUE(now == old || now == fresh)
        << when << ": the companion is a piece of " << now.size() << " bytes";
    EXPECT_TRUE(ReadFile(file + ".bak") == old) << when << ": the backup changed";
  };

  {
    platform::ProcessHandle runner = start();
    ASSERT_TRUE(runner.IsValid());
    const bool changed = KillWhenItsSizeChanges(runner, file, newSize);
    EXPECT_TRUE(changed) << "the rollback ended without the file ever changing";
    check("killed as the file started to change");
  }
  // A spread of moments, some of them drawn at random (the seed is in every
  // failure message), and a last one late enough to find the rollback done.
  const unsigned seed = std::random_device{}();
  std::mt19937 draw(seed);
  std::vector<std::uint32_t> delays = {0u, 5u, 15u, 30u, 60u, 120u, 200u, 300u, 500u};
  for (int i = 0; i < 6; ++i)
    delays.push_back(std::uniform_int_distribution<std::uint32_t>(0, 400)(draw));
  delays.push_back(5000u);
  SCOPED_TRACE("seed " + std::to_string(seed));
  bool endedOnItsOwn = false;
  for (std::uint32_t delay : delays) {
    platform::ProcessHandle runner = start();
    ASSERT_TRUE(runner.IsValid());
    if (runner.Wait(delay) == platform::ProcessHandle::WaitResult::Ended) {
      endedOnItsOwn = true;
    } else {
      runner.Terminate();
    }
    runner.Wait(10000);
    check("killed after " + std::to_string(delay) + " ms");
  }
  // The last, late kill found it done: the old companion is back.
  EXPECT_TRUE(endedOnItsOwn) << "no rollback ran to its end";
  EXPECT_TRUE(ReadFile(file) == old) << "the old companion is not back";
}

// On the Linux port a symbolic link in the place of the temporary file or the
// backup must never make the download write outside the folder: the link is
// removed and a file of our own takes its place.
TEST_F(SarvoUpdateTest, LinksInPlaceOfTempOrBackupAreNotFollowed) {
  if (OnWindows()) GTEST_SKIP() << "links are a concern of the Linux port";
  namespace fs = std::filesystem;
  struct Case {
    const char* name;
    const char* linkName;
    bool targetExists;
  };
  const Case cases[] = {
      {"temporary file, dangling link", "sarvo2006.tmp", false},
      {"temporary file, link to a file outside", "sarvo2006.tmp", true},
      {"backup, dangling link", "sarvo2006.exe.bak", false},
      {"backup, link to a file outside", "sarvo2006.exe.bak", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    TempDir outside;
    const std::string file = dir / "sarvo2006.exe";
    WriteFile(file, standin_);
    const std::string fresh = Newer(standin_);
    const std::string target = outside / "target";
    if (c.targetExists) WriteFile(target, "outside");
    fs::create_symlink(target, dir / c.linkName);
    TestServer::PutFile(kExePath, fresh);

    downloadStatusT status(downloadStatusT::kNotAttempted);
    status.FileName = file;
    status.URL = TestServer::Url(kExePath);
    SarvoTesterT tester(nullptr, dir.path());
    tester.DownloadUpdate(&status);

    EXPECT_EQ(Exists(target), c.targetExists) << "a file was made outside the folder";
    if (c.targetExists) {
      EXPECT_EQ(ReadFile(target), "outside");
    }
    EXPECT_EQ(downloadStatusT::kDownloaded, status.Value);
    EXPECT_TRUE(fresh == ReadFile(file)) << "the download was not installed";
    EXPECT_FALSE(fs::is_symlink(dir / "sarvo2006.exe.bak"));
    EXPECT_TRUE(standin_ == ReadFile(dir / "sarvo2006.exe.bak"))
        << "the backup is not the old file";
    EXPECT_FALSE(fs::is_symlink(dir / "sarvo2006.tmp"));
  }
}

// Between its checks and its install the download waits in the temporary
// file while the backup is made, for up to ten seconds past a scanner's lock.
// Another writer of the folder may try to put bytes of its own there
// meanwhile. What is installed is exactly what was checked, or nothing: the
// writer is shut out (Windows) or its change is seen and refused with a
// line that says so (the Linux port, where nothing shuts out a writer).
TEST_F(SarvoUpdateTest, ASecondWriterNeverGetsItsBytesInstalled) {
  namespace fs = std::filesystem;
  // Each writer tries its way on Temp, with `other` (a whole program of
  // Temp's size) at hand in the folder; true when Temp changed.
  struct Case {
    const char* name;
    std::function<bool(const std::string& temp, const std::string& other)> write;
  };
  const std::vector<Case> cases = {
      {"Temp overwritten",
       [](const std::string& temp, const std::string& other) {
         std::ofstream out(temp, std::ios::binary | std::ios::trunc);
         if (!out) return false;
         out << ReadFile(other);
         return static_cast<bool>(out.flush());
       }},
      {"Temp replaced by another file",
       [](const std::string& temp, const std::string& other) {
         std::error_code error;
         fs::copy_file(other, temp + ".other", error);
         fs::rename(temp + ".other", temp, error);
         return !error;
       }},
      {"Temp's name turned into a link",
       [](const std::string& temp, const std::string& other) {
         std::error_code error;
         if (!fs::remove(temp, error)) return false;
         fs::create_symlink(other, temp, error);
         return !error;
       }},
  };
  const std::string fresh = Newer(standin_);
  const std::string foreign = standin_ + std::string(4096, 'X');
  TestServer::PutFile(kExePath, fresh);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    platform::FileDelete(LogPath());
    const std::string file = dir / "sarvo2006.exe";
    const std::string temp = dir / "sarvo2006.tmp";
    const std::string other = dir / "other.exe";
    WriteFile(file, standin_);
    WriteFile(file + ".bak", "older");
    WriteFile(other, foreign);
    // The old backup held without sharing: the install waits at the backup
    // until the writer is done.
    platform::File bakHeld;
    ASSERT_TRUE(
        bakHeld.Open(file + ".bak", platform::File::Mode::OpenRead, platform::File::Share::None));
    std::atomic<bool> changed{false};
    std::atomic<bool> reached{false};
    std::thread writer([&] {
      const std::uint32_t start = platform::TickCount();
      while (Log().find("Opgeslagen als ") == std::string::npos &&
             platform::TickCount() - start < 30000) {
        platform::SleepMs(10);
      }
      reached = Log().find("Opgeslagen als ") != std::string::npos;
      if (reached) changed = c.write(temp, other);
      bakHeld.Close();
    });
    downloadStatusT status(downloadStatusT::kNotAttempted);
    status.FileName = file;
    status.URL = TestServer::Url(kExePath);
    SarvoTesterT tester(nullptr, dir.path());
    tester.DownloadUpdate(&status);
    writer.join();

    ASSERT_TRUE(reached) << "the download was never checked\n" << Log();
    const std::string installed = ReadFile(file);
    EXPECT_FALSE(installed == foreign) << "the other writer's bytes were installed";
    if (changed) {
      EXPECT_TRUE(installed == standin_) << "a changed download was installed";
      EXPECT_NE(std::string::npos, Log().find("Oorzaak: " + temp + " is na de controle veranderd"))
          << Log();
    } else {
      EXPECT_TRUE(installed == fresh) << "the checked download was not installed";
    }
    EXPECT_EQ(changed, !OnWindows()) << "Windows shuts a second writer out";
    EXPECT_TRUE(ReadFile(other) == foreign) << "the other writer's file was touched";
  }
}

// The served copy of the companion in this platform's path form.
std::string ServedExe() {
  const char d = platform::kPathDelim;
  return TestServer::Root() + d + "software" + d + "sarvo" + d + "sarvo2006.exe";
}

// How the served executable's signature is made for a case.
enum class Sig {
  None,        // no .sig on the server (404)
  Vendor,      // signed with the vendor's key
  Other,       // signed with another 2048-bit key
  Weak,        // signed with the 1024-bit key
  Large,       // signed with the 3072-bit key
  OtherBytes,  // the vendor's signature of other bytes
  Oversized,   // 17 KiB of junk
  Empty,       // an empty .sig
};

void ServeSignature(Sig sig, const std::string& served) {
  const std::string exe = ServedExe();
  platform::FileDelete(exe + ".sig");
  switch (sig) {
    case Sig::None:
      break;
    case Sig::Vendor:
      ASSERT_TRUE(SignWithOpenssl("vendor", exe));
      break;
    case Sig::Other:
      ASSERT_TRUE(SignWithOpenssl("other", exe));
      break;
    case Sig::Weak:
      ASSERT_TRUE(SignWithOpenssl("weak", exe));
      break;
    case Sig::Large:
      ASSERT_TRUE(SignWithOpenssl("large", exe));
      break;
    case Sig::OtherBytes:
      WriteFile(exe, served + "x");
      ASSERT_TRUE(SignWithOpenssl("vendor", exe));
      WriteFile(exe, served);
      break;
    case Sig::Oversized:
      WriteFile(exe + ".sig", std::string(17 * 1024, 'S'));
      break;
    case Sig::Empty:
      WriteFile(exe + ".sig", "");
      break;
  }
}

// The check on its own: which signature, which key and what the check says.
// The message is what the exception report's cause line shows.
TEST_F(SarvoUpdateTest, SignatureCheckSaysWhatFailed) {
  struct Case {
    const char* name;
    const char* key;  // machine UpdateKey: a test key's name, "" none, "junk"
    Sig sig;
    const char* rules;
    int expected;         // 1 valid, 0 no key (nothing checked), -1 raises
    const char* message;  // part of the message when it raises
  };
  const std::vector<Case> cases = {
      {"no key: nothing fetched or checked", "", Sig::None, "{}", 0, ""},
      {"good signature", "vendor", Sig::Vendor, "{}", 1, ""},
      {"3072-bit key", "large", Sig::Large, "{}", 1, ""},
      {"signature missing", "vendor", Sig::None, "{}", -1,
       "niet ontvangen: EIdHTTPProtocolException: HTTP/1.1 404 Not Found"},
      {"signature server error", "vendor", Sig::Vendor,
       R"({"/software/sarvo/sarvo2006.exe.sig": {"status": "503 Service Unavailable"}})", -1,
       "niet ontvangen: EIdHTTPProtocolException: HTTP/1.1 503"},
      {"signature cut short in transfer", "vendor", Sig::Vendor,
       R"({"/software/sarvo/sarvo2006.exe.sig": {"cut": 100}})", -1, "niet ontvangen: EIdConn"},
      {"signature larger than 16 KiB", "vendor", Sig::Oversized, "{}", -1,
       "niet ontvangen: EIdHTTPInvalidResponse: Response body larger than 16384 bytes"},
      {"empty signature", "vendor", Sig::Empty, "{}", -1, "klopt niet bij de download"},
      {"signature by another key", "vendor", Sig::Other, "{}", -1, "klopt niet bij de download"},
      {"signature of other bytes", "vendor", Sig::OtherBytes, "{}", -1,
       "klopt niet bij de download"},
      {"1024-bit key", "weak", Sig::Weak, "{}", -1, "is te zwak"},
      {"key that does not parse", "junk", Sig::Vendor, "{}", -1, "is onbruikbaar"},
      {"empty key value", "empty", Sig::Vendor, "{}", -1, "is onbruikbaar"},
      {"key value of another type", "dword", Sig::Vendor, "{}", -1, "is onbruikbaar"},
  };
  const std::string served = Newer(standin_);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestServer::PutFile(kExePath, served);
    ServeSignature(c.sig, served);
    TestServer::SetRules(c.rules);
    const std::string key = c.key;
    std::unique_ptr<MachineUpdateKey> machineKey;
    if (key == "junk") {
      machineKey = std::make_unique<MachineUpdateKey>("-----BEGIN PUBLIC KEY-----\nabc\n");
    } else if (key == "empty") {
      machineKey = std::make_unique<MachineUpdateKey>("");
    } else if (key == "dword") {
      machineKey = std::make_unique<MachineUpdateKey>(platform::kRegDword, std::string(4, '\1'));
    } else if (!key.empty()) {
      machineKey = std::make_unique<MachineUpdateKey>(TestPublicKey(key));
    }
    const std::size_t sigGets = TestServer::CountRequests(std::string("GET ") + kExePath + ".sig");
    int result = -1;
    std::string message;
    try {
      result = CheckUpdateSignature(TestServer::Url(kExePath), ServedExe()) ? 1 : 0;
    } catch (const EUpdateSignatureError& e) {
      message = e.Message();
    }
    EXPECT_EQ(c.expected, result) << c.name << ": " << message;
    if (c.expected < 0) {
      EXPECT_NE(std::string::npos, message.find(c.message)) << c.name << ": " << message;
    }
    // Without a key the server is not even asked for a signature.
    EXPECT_EQ(key.empty() ? sigGets : sigGets + 1,
              TestServer::CountRequests(std::string("GET ") + kExePath + ".sig"))
        << c.name;
  }
}

// The whole flow with a key configured: only a download signed with it is
// installed and started; with anything else the old companion stays, nothing
// is started, and no temporary file is left.
TEST_F(SarvoUpdateTest, SignedUpdateIsInstalledOnlyWithAValidSignature) {
  struct Case {
    const char* name;
    bool localExists;
    const char* key;
    Sig sig;
    bool expectInstalled;
  };
  const std::vector<Case> cases = {
      {"good signature", true, "vendor", Sig::Vendor, true},
      {"good signature, first installation", false, "vendor", Sig::Vendor, true},
      {"no key, no signature: as before", true, "", Sig::None, true},
      {"signature missing", true, "vendor", Sig::None, false},
      {"signature missing, first installation", false, "vendor", Sig::None, false},
      {"signature by another key", true, "vendor", Sig::Other, false},
      {"signature of other bytes", true, "vendor", Sig::OtherBytes, false},
      {"1024-bit key", true, "weak", Sig::Weak, false},
  };
  const std::string served = Newer(standin_);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Clean();
    status_.clear();
    GetSarvoSettings()->SetParams("earlier");
    TestServer::PutFile(kExePath, served);
    TestServer::PutFile(kReachPath, "2.0\r\n");
    ServeSignature(c.sig, served);
    std::unique_ptr<MachineUpdateKey> machineKey;
    if (*c.key) machineKey = std::make_unique<MachineUpdateKey>(TestPublicKey(c.key));
    if (c.localExists) {
      ASSERT_TRUE(platform::FileCopy(FixtureProgram("sarvo_standin"), companion_, false));
    }

    Run();

    const std::string log = Log();
    EXPECT_FALSE(Exists(dir_ + "sarvo2006.tmp")) << "Temp left behind";
    EXPECT_NE(std::string::npos, log.find("Downloaden van " + TestServer::Url(kExePath))) << log;
    if (c.expectInstalled) {
      EXPECT_TRUE(served == ReadFile(companion_)) << "the signed download is not installed";
      EXPECT_NE(std::string::npos, log.find("Opgeslagen als " + companion_)) << log;
      EXPECT_EQ(std::string::npos, log.find("====[ Exception report ]")) << log;
      EXPECT_EQ("State=1 Params=/AUTO /INIT\n", Seen());
      EXPECT_EQ(*c.key != 0, log.find("Handtekening " + TestServer::Url(kExePath) +
                                      ".sig is geldig") != std::string::npos)
          << log;
    } else {
      if (c.localExists) {
        EXPECT_TRUE(standin_ == ReadFile(companion_)) << "the installed executable was touched";
      } else {
        EXPECT_FALSE(Exists(companion_)) << "an unsigned download was installed";
      }
      EXPECT_FALSE(Exists(companion_ + ".bak")) << "the backup was made";
      EXPECT_EQ(std::string::npos, log.find("Opgeslagen als ")) << log;
      EXPECT_NE(std::string::npos, log.find("====[ Exception report ]")) << log;
      EXPECT_NE(std::string::npos, log.find("Oorzaak: EUpdateSignatureError: ")) << log;
      EXPECT_EQ(std::string::npos, log.find("Starting ")) << log;
      EXPECT_EQ("", Seen());
      EXPECT_EQ("earlier", GetSarvoSettings()->GetParams());
    }
  }
}

TEST(SynchedThreadsTest, WaitReturnsAfterTheWorker) {
  platform::InitApplication();
  struct Case {
    const char* name;
    std::uint32_t sleepMs;
    bool throws;
  };
  const std::vector<Case> cases = {
      {"returns at once", 0, false},
      {"runs a while", 200, false},
      {"raises", 50, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    IntegerT arg(0);
    RunWaitThread([&c, &arg] {
      platform::SleepMs(c.sleepMs);
      arg.Value = 7;
      if (c.throws) throw std::runtime_error("worker failed");
    });
    EXPECT_EQ(7, arg.Value);
  }
  EXPECT_EQ(0xFFFFFFFFu, MsgWaitForThread(nullptr));
}

// The worker raises its end as its last act and the waiter joins it, so the
// worker has let go of everything it was given once the wait returns: the
// function's own captures are freed on the worker, before the wait returns.
TEST(SynchedThreadsTest, TheWorkerHasLetGoOfItsFunctionWhenTheWaitReturns) {
  platform::InitApplication();
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> watch = token;
  RunWaitThread([held = std::move(token)] { *held = 1; });
  EXPECT_TRUE(watch.expired());
}

// A wait that starts after the worker already ended finds the end recorded
// and returns at once, and a second wait on the same worker does too.
TEST(SynchedThreadsTest, AnEndedWorkerIsWaitedForAtOnce) {
  platform::InitApplication();
  std::atomic<int> runs{0};
  TWaitThread worker([&runs] { ++runs; });
  worker.ResumeAndWait();
  worker.ResumeAndWait();
  EXPECT_EQ(1, runs.load());
  auto ended = std::make_shared<TThreadCompletion>();
  ended->ended.Set();
  EXPECT_EQ(0u, MsgWaitForThread(ended));
}

// The window handles its messages while the GUI thread waits for a worker:
// the worker posts to the window and waits, bounded, for the handler to run.
// A wait that did not process messages would let the worker give up.
TEST(SynchedThreadsTest, WindowMessagesAreHandledDuringTheWait) {
  platform::InitApplication();
  std::atomic<int> handled{0};
  platform::SplashWindow window(LoaderSplashForm(),
                                {[&handled](std::uint32_t) { ++handled; }, nullptr, nullptr});
  window.Show();
  struct Outcome {
    bool handledWhileRunning = false;
  } outcome;
  RunWaitThread([&] {
    for (int i = 0; i < 3; ++i) {
      const int before = handled;
      window.Post(platform::kFirstPrivateMessage + 150);
      for (int waited = 0; handled == before && waited < 10000; waited += 10) {
        platform::SleepMs(10);
      }
      if (handled == before) return;
    }
    outcome.handledWhileRunning = true;
  });
  EXPECT_TRUE(outcome.handledWhileRunning);
  EXPECT_EQ(3, handled);
  window.Close();
}

}  // namespace
