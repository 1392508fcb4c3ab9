// The online phase end to end: the real loader in a throw-away installation
// against the real update server on loopback, for the roads where the
// companion tool is not run (switches, marker files, an unreachable server)
// and the error road of a missing main program.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "platform/files.h"
#include "platform/process.h"
#include "platform/shell.h"
#include "platform/sysinfo.h"
#include "support/fixtures.h"
#include "support/installation.h"
#include "support/registry_tool.h"
#include "support/run_capture.h"
#include "support/testing.h"
#include "support/trust.h"
#include "support/u_Utility.h"
#include "support/update_server.h"
#include "support/xdotool.h"

using namespace testing_support;

namespace {

const char kNoInternet[] = "Er is momenteel geen internet verbinding beschikbaar, reden: [";

std::string ServerRoot() {
  std::string root;
  platform::GetEnv("KESTRO_TEST_SERVER_ROOT", root);
  return IncludeTrailingPathDelimiter(root);
}

// The probe file the connection test asks for; present means "online".
void ServeProbeFile(bool present) {
  const char d = platform::kPathDelim;
  const std::string folder = ServerRoot() + "software";
  MakeDirs(folder);
  if (present) {
    WriteFile(folder + d + "versie.txt", "5.1.5.203\r\n");
  } else {
    RemoveAll(folder + d + "versie.txt");
  }
}

const char kSarvoKey[] = "HKCU\\SOFTWARE\\hollvik\\Sarvo";

// The companion's start mode as an earlier run left it, written with the
// registry tool, so a road shows whether the loader touched it.
void PresetStartMode() {
  ASSERT_TRUE(AddRegistryValue(kSarvoKey, "Params", "REG_SZ", "earlier"));
  ASSERT_TRUE(AddRegistryValue(kSarvoKey, "State", "REG_DWORD", "5"));
}

// The start mode after a run, as the registry tool lists it.
void ExpectStartMode(const std::string& state, const std::string& params) {
  const RegListing s = QueryRegistry(kSarvoKey, "State");
  EXPECT_TRUE(s.valueFound) << "State is missing";
  EXPECT_EQ(s.type, "REG_DWORD");
  EXPECT_EQ(s.data, state) << "State";
  const RegListing p = QueryRegistry(kSarvoKey, "Params");
  EXPECT_TRUE(p.valueFound) << "Params is missing";
  EXPECT_EQ(p.type, "REG_SZ");
  EXPECT_EQ(p.data, params) << "Params";
}

// The companion's files on the server: the reachability file and `exe` as
// the executable, or no executable at all (a 404) when `exe` is null.
void ServeCompanion(const std::string* exe) {
  const char d = platform::kPathDelim;
  const std::string folder = ServerRoot() + "software" + d + "sarvo";
  MakeDirs(folder);
  WriteFile(folder + d + "versie.txt", "2.0\r\n");
  if (exe) {
    WriteFile(folder + d + "sarvo2006.exe", *exe);
  } else {
    RemoveAll(folder + d + "sarvo2006.exe");
  }
}

// A user who presses Return on the loader's error box once it shows.
std::string DismissErrorBox() {
  return "id=$(xdotool search --sync --onlyvisible --name " +
         ShellQuote(ExactTitlePattern("Fout bij uitvoeren!")) + " | head -n1)\n" +
         "sleep 0.3\n"
         "xdotool windowfocus --sync \"$id\" key Return\n";
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string Expand(std::string line, const std::string& app) {
  for (const auto& [from, to] : {std::pair<std::string, std::string>{"BASE", TestServer::Base()},
                                 std::pair<std::string, std::string>{"APP", app}}) {
    for (std::size_t at; (at = line.find(from)) != std::string::npos;)
      line.replace(at, from.size(), to);
  }
  return line;
}

void ExpectLog(const std::vector<std::string>& actual, const std::vector<std::string>& expected,
               const std::string& app) {
  EXPECT_EQ(actual.size(), expected.size()) << ::testing::PrintToString(actual);
  for (std::size_t i = 0; i < std::min(actual.size(), expected.size()); ++i) {
    const std::string want = Expand(expected[i], app);
    if (!want.empty() && want.back() == '*') {
      EXPECT_EQ(actual[i].substr(0, want.size() - 1), want.substr(0, want.size() - 1))
          << "line " << i;
    } else {
      EXPECT_EQ(actual[i], want) << "line " << i;
    }
  }
}

// The lines of a normal ending: start line, result code, closing line.
void ExpectMainProgramStarted(const Installation& inst, const std::vector<std::string>& m) {
  ASSERT_GE(m.size(), 3u);
  EXPECT_EQ(m[m.size() - 3], "Kestro v wordt gestart");
  EXPECT_EQ(m.back(), "Loader is afgesloten");
  EXPECT_FALSE(inst.MainProgramRecord().empty()) << "main program not started";
}

// An installation with the main program and the companion stand-in, while
// the update server is online and offers a newer build of that companion.
struct NewerCompanionServed {
  NewerCompanionServed() {
    inst.AddMainProgram();
    inst.AddFixture("sarvo_standin", "sarvo2006.exe");
    local = inst.AppDir() + "sarvo2006.exe";
    original = ReadFile(local);
    served = original + "newer build";
    ServeProbeFile(true);
    ServeCompanion(&served);
  }
  Installation inst;
  std::string local;     // the installed companion
  std::string original;  // its bytes before the run
  std::string served;    // the newer build on the server
};

const std::string kUnsignedInstall = UnsignedInstallLine();

// The log of a road that reaches the download: the connection test and the
// size check before `middle`, the main program's start after it.
std::vector<std::string> UpdateRoadLog(const std::vector<std::string>& middle) {
  std::vector<std::string> log = {
      "Testen van verbinding. URL: BASE/software/versie.txt, Timeout: 0:00:15.000",
      "Response received in: *", "Checking Sarvo version with server",
      "Downloaden van BASE/software/sarvo/sarvo2006.exe"};
  log.insert(log.end(), middle.begin(), middle.end());
  log.insert(log.end(), {"Kestro v wordt gestart", "Resultcode *", "Loader is afgesloten"});
  return log;
}

// A download installed and the new companion started and waited for.
const std::vector<std::string> kInstalledAndStarted = {
    "Opgeslagen als APPsarvo2006.exe (*", "Starting APPsarvo2006.exe with \"/AUTO /INIT\"",
    "## LastErrorCode: 0: *", "Waiting for Sarvo....", "Sarvo has been closed"};

// The log of a road that downloads, installs without a key, starts and waits
// for the companion, then starts the main program.
const std::vector<std::string> kCompanionUpdatedLog = [] {
  std::vector<std::string> middle = kInstalledAndStarted;
  middle.insert(middle.begin() + 1, kUnsignedInstall);
  return UpdateRoadLog(middle);
}();

struct Road {
  const char* name;
  bool online;           // the server serves the probe file
  const char* params;    // command line of the loader
  const char* marker;    // marker file in the application folder, or ""
  bool iniInCwd;         // noconnectiontest.ini in the working directory
  const char* expected;  // the update decision's log line, "" for none
  bool probed;           // the connection test ran
};

TEST(OnlineRoads, SwitchesAndMarkerFilesDecideTheUpdate) {
  const std::string noInternetEmpty = std::string(kNoInternet) + "]";
  const std::string notReachable = std::string(kNoInternet) + "Webserver niet beschikbaar]";
  const Road roads[] = {
      {"switch noconnectiontest", true, "/noconnectiontest", "", false, noInternetEmpty.c_str(),
       false},
      {"ini in the working directory", true, "", "", true, noInternetEmpty.c_str(), false},
      {"ini in the application folder does not count", false, "", "noconnectiontest.ini", false,
       notReachable.c_str(), true},
      {"server without the probe file", false, "", "", false, notReachable.c_str(), true},
      {"NoUpdate.txt", true, "", "NoUpdate.txt", false, "Update wordt overgeslagen", true},
      {"/NoUpdate", true, "/NoUpdate", "", false, "Update wordt overgeslagen", true},
      {"/noupdates", true, "/noupdates", "", false, "Update wordt overgeslagen", true},
      {"NoSarvoUpdate.txt", true, "", "NoSarvoUpdate.txt", false, "", true},
  };
  for (const Road& r : roads) {
    SCOPED_TRACE(r.name);
    Installation inst;
    inst.AddMainProgram();
    if (*r.marker) inst.AddFile(std::string("app") + platform::kPathDelim + r.marker, "");
    std::string cwd;
    if (r.iniInCwd || *r.marker) {
      // A working directory of its own, so a marker in the application folder
      // is not also in the working directory.
      cwd = inst.Root() + "cwd";
      MakeDirs(cwd);
      if (r.iniInCwd) WriteFile(cwd + platform::kPathDelim + "noconnectiontest.ini", "");
    }
    ServeProbeFile(r.online);
    PresetStartMode();
    ASSERT_TRUE(inst.Run(r.params, cwd, 60000));
    const auto m = inst.Messages();
    // The whole log: the connection test's lines when it ran, the update
    // decision's line, and the normal ending.
    std::vector<std::string> expected;
    if (r.probed) {
      expected = {"Testen van verbinding. URL: BASE/software/versie.txt, Timeout: 0:00:15.000",
                  r.online ? "Response received in: *" : "Code: 404, HTTP/1.1 404 Not Found"};
    }
    if (*r.expected) expected.push_back(r.expected);
    expected.insert(expected.end(),
                    {"Kestro v wordt gestart", "Resultcode *", "Loader is afgesloten"});
    ExpectLog(m, expected, inst.AppDir());
    ExpectStartMode("0x5", "earlier");
    ExpectMainProgramStarted(inst, m);
  }
}

// A server that accepts the connection but never answers: the connection
// test gives up after its 15 seconds, and the loader goes on without update.
TEST(OnlineRoads, ServerThatNeverAnswersTimesOut) {
  Installation inst;
  inst.AddMainProgram();
  ServeProbeFile(true);
  TestServer::SetRules(R"({"/software/versie.txt": {"never": true}})");
  PresetStartMode();
  const bool ran = inst.Run("", "", 90000);
  TestServer::SetRules("{}");
  ASSERT_TRUE(ran);
  auto m = inst.Messages();
  EXPECT_TRUE(Contains(m, std::string(kNoInternet) + "Timeout!]")) << ::testing::PrintToString(m);
  // The probe gives up on its own read limit at about the same moment, and
  // the loader waits for it before it ends, so its line is in the log, just
  // before or after the closing lines.
  const auto probeLine = std::find_if(m.begin(), m.end(), [](const std::string& line) {
    return line.rfind("Read timed out", 0) == 0;
  });
  ASSERT_NE(probeLine, m.end()) << ::testing::PrintToString(m);
  m.erase(probeLine);
  EXPECT_FALSE(Contains(m, "Checking Sarvo version with server")) << "companion flow ran";
  ExpectStartMode("0x5", "earlier");
  ExpectMainProgramStarted(inst, m);
}

// A server that sends the probe's headers one byte every 400 ms (some 40 s in
// all) never lets a single read wait run out. The probe's request as a whole
// ends within its 15 s, like the tester's deadline, so the loader process
// ends within a few seconds of its last log line instead of lingering unseen.
TEST(OnlineRoads, ProbeWithTricklingHeadersEndsWithTheLoader) {
  using Clock = std::chrono::steady_clock;
  Installation inst;
  inst.AddMainProgram();
  ServeProbeFile(true);
  TestServer::SetRules(R"({"/software/versie.txt": {"drip_headers": 400}})");
  PresetStartMode();
  const Clock::time_point start = Clock::now();
  Clock::time_point closingLineSeen{};
  const bool ran = inst.Run("", "", 90000, [&] {
    if (closingLineSeen == Clock::time_point{} &&
        Contains(inst.Messages(), "Loader is afgesloten")) {
      closingLineSeen = Clock::now();
    }
  });
  const Clock::time_point end = Clock::now();
  TestServer::SetRules("{}");
  ASSERT_TRUE(ran);
  auto m = inst.Messages();
  ASSERT_TRUE(Contains(m, "Loader is afgesloten")) << ::testing::PrintToString(m);
  // Not seen by any look while the loader ran: it was written in the last
  // 100 ms before the end.
  if (closingLineSeen == Clock::time_point{}) closingLineSeen = end;
  const auto ms = [](Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
  };
  EXPECT_LT(ms(end - closingLineSeen), 4000) << "the loader lingered after its closing line";
  EXPECT_LT(ms(end - start), 25000) << "the probe was waited for beyond its 15 s";
  EXPECT_TRUE(Contains(m, std::string(kNoInternet) + "Timeout!]")) << ::testing::PrintToString(m);
  EXPECT_FALSE(Contains(m, "Checking Sarvo version with server")) << "companion flow ran";
  EXPECT_FALSE(inst.MainProgramRecord().empty()) << "main program not started";
}

TEST(OnlineRoads, RefusedConnectionMeansServerNotAvailable) {
  Installation inst;
  inst.AddMainProgram();
  // Port 1 on loopback: nobody listens there, so the connection is refused.
  const ScopedEnv server("KESTRO_UPDATE_SERVER", "http://127.0.0.1:1");
  PresetStartMode();
  ASSERT_TRUE(inst.Run("", "", 60000));
  const auto m = inst.Messages();
  EXPECT_TRUE(Contains(m, std::string(kNoInternet) + "Webserver niet beschikbaar]"));
  ExpectStartMode("0x5", "earlier");
  ExpectMainProgramStarted(inst, m);
}

TEST(OnlineRoads, MissingMainProgramEndsInTheErrorBox) {
  Installation inst;
  ServeProbeFile(false);
  UnixScript dismiss(DismissErrorBox(), 60);
  ASSERT_TRUE(dismiss.Started()) << dismiss.StartError();
  ASSERT_TRUE(inst.Run("", "", 90000));
  ASSERT_TRUE(dismiss.WaitPumping(30000));
  EXPECT_EQ(dismiss.ExitCode(), 0) << "the box was not found: " << dismiss.Output();
  const auto m = inst.Messages();
  ASSERT_FALSE(m.empty());
  EXPECT_EQ(m.back(), "Melding: Kan KestroCore.exe niet vinden! (Exception)");
  EXPECT_FALSE(Contains(m, "Loader is afgesloten"));
  EXPECT_TRUE(inst.MainProgramRecord().empty());
}

// The companion roads: the server answers and offers a companion executable.
struct CompanionRoad {
  const char* name;
  bool serverCopyDiffers;  // else the server's copy has the local size
  bool serveExecutable;    // else the executable is missing on the server (404)
  const char* seen;        // what the companion stand-in saw, "" when not started
  bool downloaded;
  // The whole log in order: BASE stands for the server's address, APP for the
  // application folder; a line ending in "*" is compared up to the "*".
  std::vector<std::string> log;
};

TEST(OnlineRoads, CompanionIsUpdatedStartedAndWaitedFor) {
  const std::string probe =
      "Testen van verbinding. URL: BASE/software/versie.txt, Timeout: 0:00:15.000";
  const std::vector<std::string> ending = {"Kestro v wordt gestart", "Resultcode *",
                                           "Loader is afgesloten"};
  const auto with = [&](std::vector<std::string> lines) {
    lines.insert(lines.begin(),
                 {probe, "Response received in: *", "Checking Sarvo version with server"});
    lines.insert(lines.end(), ending.begin(), ending.end());
    return lines;
  };
  const CompanionRoad roads[] = {
      {"online and out of date", true, true, "State=1 Params=/AUTO /INIT\n", true,
       with({"Downloaden van BASE/software/sarvo/sarvo2006.exe",
             "Opgeslagen als APPsarvo2006.exe (*", kUnsignedInstall,
             "Starting APPsarvo2006.exe with \"/AUTO /INIT\"", "## LastErrorCode: 0: *",
             "Waiting for Sarvo....", "Sarvo has been closed"})},
      {"online and up to date", false, true, "State=1 Params=/AUTO\n", false,
       with({"Starting APPsarvo2006.exe with \"/AUTO\"", "## LastErrorCode: 0: *",
             "Waiting for Sarvo....", "Sarvo has been closed"})},
      {"failed download", true, false, "", false,
       with({"Exception [EIdHTTPProtocolException]: HTTP/1.1 404 Not Found", ". ",
             ". Errorcode 404, message: HTTP/1.1 404 Not Found",
             "Downloaden van BASE/software/sarvo/sarvo2006.exe",
             "====[ Exception report ]================================", "Environment details:",
             "Exception details:", "========================================================", "",
             "Oorzaak: EIdHTTPProtocolException: HTTP/1.1 404 Not Found"})},
  };
  for (const CompanionRoad& r : roads) {
    SCOPED_TRACE(r.name);
    Installation inst;
    inst.AddMainProgram();
    inst.AddFixture("sarvo_standin", "sarvo2006.exe");
    const std::string local = inst.AppDir() + "sarvo2006.exe";
    const std::string original = ReadFile(local);
    ServeProbeFile(true);
    const std::string served = r.serverCopyDiffers ? original + "newer build" : original;
    ServeCompanion(r.serveExecutable ? &served : nullptr);

    PresetStartMode();
    ASSERT_TRUE(inst.Run("", "", 120000));
    const auto m = inst.Messages();
    ExpectLog(m, r.log, inst.AppDir());
    const std::string seenFile = inst.AppDir() + "sarvo-seen.txt";
    EXPECT_EQ(Exists(seenFile) ? ReadFile(seenFile) : std::string(), r.seen);
    // Installed exactly when downloaded; never a broken or partial file.
    EXPECT_TRUE(ReadFile(local) == (r.downloaded ? served : original)) << "installed file";
    EXPECT_EQ(Exists(local + ".bak"), r.downloaded);
    if (r.downloaded) {
      EXPECT_TRUE(ReadFile(local + ".bak") == original) << "backup";
    }
    EXPECT_FALSE(Exists(inst.AppDir() + "sarvo2006.tmp")) << "Temp left behind";
    if (*r.seen) {
      EXPECT_TRUE(Contains(m, "Waiting for Sarvo...."));
      EXPECT_TRUE(Contains(m, "Sarvo has been closed"));
    } else {
      EXPECT_FALSE(Contains(m, "Waiting for Sarvo...."));
    }
    // The companion saw State 1 and its start mode while it ran (above); the
    // start mode is cleared once it has closed. A failed download writes
    // State 0 and leaves "Params" as it was.
    ExpectStartMode("0x0", *r.seen ? "" : "earlier");
    ExpectMainProgramStarted(inst, m);
  }
}

// The window answers while the loader waits for the download: a double-click
// on the picture shows the "X" button, and a click on it does not cut the
// sequence short. The server pauses in the middle of the file, and a script
// acts as the user once the download has begun. Whether the button appeared
// is seen from outside: the window's pixels change with the double-click.
TEST(OnlineRoads, WindowAnswersDuringTheDownload) {
  NewerCompanionServed u;
  Installation& inst = u.inst;
  TestServer::SetRules(
      R"({"/software/sarvo/sarvo2006.exe": {"stall_body": {"after": 1000, "seconds": 8}}})");
  const std::string get = "GET /software/sarvo/sarvo2006.exe";
  const std::size_t getsBefore = TestServer::CountRequests(get);

  const std::string user =
      "id=$(xdotool search --sync --onlyvisible --name " + ShellQuote(ExactTitlePattern("Kestro")) +
      " | head -n1)\n" +
      "shots=$(mktemp -d)\n"
      "xwd -silent -id \"$id\" > \"$shots/before\"\n"
      "xdotool mousemove --window \"$id\" 180 40\n"
      "sleep 0.2\n"
      "xdotool click --repeat 2 --delay 120 1\n"
      "sleep 0.8\n"
      "xwd -silent -id \"$id\" > \"$shots/after\"\n"
      "same=0; cmp -s \"$shots/before\" \"$shots/after\" && same=1\n"
      "rm -rf \"$shots\"\n"
      "if [ $same = 1 ]; then echo 'the double-click changed nothing'; exit 3; fi\n"
      // Far enough apart that the click does not pair with the double-click.
      "sleep 1.1\n"
      "xdotool mousemove --window \"$id\" 350 12\n"
      "sleep 0.2\n"
      "xdotool click 1\n";
  std::unique_ptr<UnixScript> script;
  ASSERT_TRUE(inst.Run("", "", 120000, [&] {
    if (!script && TestServer::CountRequests(get) > getsBefore) {
      script = std::make_unique<UnixScript>(user, 60);
    }
  }));
  TestServer::SetRules("{}");
  ASSERT_TRUE(script) << "the download never began";
  ASSERT_TRUE(script->Started()) << script->StartError();
  ASSERT_TRUE(script->WaitPumping(30000));
  EXPECT_EQ(script->ExitCode(), 0) << script->Output();

  ExpectLog(inst.Messages(), kCompanionUpdatedLog, inst.AppDir());
  EXPECT_TRUE(ReadFile(u.local) == u.served) << "the new companion is not installed";
  EXPECT_FALSE(inst.MainProgramRecord().empty()) << "main program not started";
}

// Two loaders of one installation folder start together while the server
// sends the companion slowly: one downloads and installs, the other waits
// for it, finds the companion up to date and starts it; both start the
// companion, and the file is fetched and installed once.
TEST(OnlineRoads, TwoLoadersOfOneFolderUpdateOnce) {
  NewerCompanionServed u;
  Installation& inst = u.inst;
  const std::string& local = u.local;
  TestServer::SetRules(
      R"({"/software/sarvo/sarvo2006.exe": {"stall_body": {"after": 1000, "seconds": 5}}})");
  const std::string get = "GET /software/sarvo/sarvo2006.exe";
  const std::size_t getsBefore = TestServer::CountRequests(get);
  PresetStartMode();

  std::vector<platform::ProcessHandle> loaders;
  for (int i = 0; i < 2; ++i) {
    platform::ShellExecResult r = platform::ShellExecuteProcess(
        "open", inst.LoaderPath(), "", inst.AppDir(), platform::ShowCommand::Normal);
    ASSERT_TRUE(r.ok) << "loader did not start, error " << r.error;
    loaders.push_back(std::move(r.process));
  }
  const std::uint32_t start = platform::TickCount();
  for (platform::ProcessHandle& loader : loaders) {
    while (loader.Wait(100) == platform::ProcessHandle::WaitResult::TimedOut) {
      if (platform::TickCount() - start > 120000) {
        loader.Terminate();
        FAIL() << "a loader still ran after two minutes";
      }
    }
  }
  TestServer::SetRules("{}");

  EXPECT_EQ(TestServer::CountRequests(get) - getsBefore, 1u) << "fetched more than once";
  EXPECT_TRUE(ReadFile(local) == u.served) << "the new companion is not installed";
  EXPECT_TRUE(ReadFile(local + ".bak") == u.original) << "backup";
  EXPECT_FALSE(Exists(inst.AppDir() + "sarvo2006.tmp")) << "Temp left behind";
  EXPECT_TRUE(Exists(local + ".lock"));
  // Both wrote the one log; each started the companion.
  const auto m = inst.Messages();
  const auto count = [&m](const std::string& prefix) {
    return std::count_if(m.begin(), m.end(), [&prefix](const std::string& line) {
      return line.compare(0, prefix.size(), prefix) == 0;
    });
  };
  EXPECT_EQ(count("Downloaden van "), 1) << ::testing::PrintToString(m);
  EXPECT_EQ(count("Opgeslagen als "), 1);
  EXPECT_EQ(count("Sarvo wordt al bijgewerkt door een andere loader"), 1);
  EXPECT_EQ(count("Starting " + local + " with "), 2);
  EXPECT_EQ(count("Loader is afgesloten"), 2);
  const std::string seen = ReadFile(inst.AppDir() + "sarvo-seen.txt");
  EXPECT_EQ(std::count(seen.begin(), seen.end(), '\n'), 2) << seen;
}

// A registry that refuses the companion's start mode ends the run in the
// error trap: the companion is not started, and neither is the main program.
// Only the Linux port's store can be made to refuse writes from a test (its
// file without write permission); a Wine prefix's registry cannot.
TEST(OnlineRoads, RefusedStartModeEndsInTheErrorBox) {
  if (OnWindows()) GTEST_SKIP() << "needs a registry that refuses writes";
  Installation inst;
  inst.AddMainProgram();
  inst.AddFixture("sarvo_standin", "sarvo2006.exe");
  ServeProbeFile(true);
  const std::string same = ReadFile(inst.AppDir() + "sarvo2006.exe");
  ServeCompanion(&same);
  PresetStartMode();
  std::string folder;
  ASSERT_TRUE(platform::GetEnv("KESTRO_REGISTRY_DIR", folder));
  namespace fs = std::filesystem;
  const fs::path store = fs::path(folder) / "user.db";
  const auto writeBits = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  fs::permissions(store, writeBits, fs::perm_options::remove);

  UnixScript dismiss(DismissErrorBox(), 60);
  ASSERT_TRUE(dismiss.Started()) << dismiss.StartError();
  const bool ran = inst.Run("", "", 90000);
  fs::permissions(store, writeBits, fs::perm_options::add);
  ASSERT_TRUE(ran);
  ASSERT_TRUE(dismiss.WaitPumping(30000));
  EXPECT_EQ(dismiss.ExitCode(), 0) << "the box was not found: " << dismiss.Output();

  ExpectLog(inst.Messages(),
            {"Testen van verbinding. URL: BASE/software/versie.txt, Timeout: 0:00:15.000",
             "Response received in: *", "Checking Sarvo version with server",
             "Melding: Failed to set data for 'State' (ERegistryException)"},
            inst.AppDir());
  EXPECT_FALSE(Exists(inst.AppDir() + "sarvo-seen.txt")) << "the companion was started";
  EXPECT_TRUE(inst.MainProgramRecord().empty()) << "the main program was started";
  ExpectStartMode("0x5", "earlier");
}

// The served companion's path in this platform's form.
std::string ServedCompanion() {
  const char d = platform::kPathDelim;
  return ServerRoot() + "software" + d + "sarvo" + d + "sarvo2006.exe";
}

// Signed updates end to end: an administrator has set the machine's update
// key; the loader installs and starts the new companion only when the
// signature beside it on the server is valid, and otherwise keeps the old one
// and starts nothing.
TEST(OnlineRoads, SignedUpdateIsInstalledOnlyWithAValidSignature) {
  enum class Sig { Vendor, Other, None, Garbled };
  struct SignedRoad {
    const char* name;
    Sig sig;
    bool installed;
    const char* cause;  // the cause line of a refused download
  };
  const std::string probe =
      "Testen van verbinding. URL: BASE/software/versie.txt, Timeout: 0:00:15.000";
  const std::string sigUrl =
      "Oorzaak: EUpdateSignatureError: Handtekening "
      "BASE/software/sarvo/sarvo2006.exe.sig ";
  const SignedRoad roads[] = {
      {"valid signature", Sig::Vendor, true, ""},
      {"signature by another key", Sig::Other, false, "klopt niet bij de download*"},
      {"signature missing", Sig::None, false,
       "niet ontvangen: EIdHTTPProtocolException: HTTP/1.1 404 Not Found"},
      {"signature garbled", Sig::Garbled, false, "klopt niet bij de download*"},
  };
  for (const SignedRoad& r : roads) {
    SCOPED_TRACE(r.name);
    NewerCompanionServed u;
    Installation& inst = u.inst;
    // After the installation, whose private settings store it is on the
    // Linux port.
    MachineUpdateKey key(TestPublicKey("vendor"));
    platform::FileDelete(ServedCompanion() + ".sig");
    if (r.sig == Sig::Vendor || r.sig == Sig::Garbled) {
      ASSERT_TRUE(SignWithOpenssl("vendor", ServedCompanion()));
    }
    if (r.sig == Sig::Other) {
      ASSERT_TRUE(SignWithOpenssl("other", ServedCompanion()));
    }
    if (r.sig == Sig::Garbled) {
      std::string sig = ReadFile(ServedCompanion() + ".sig");
      sig[sig.size() / 2] = static_cast<char>(sig[sig.size() / 2] ^ 0x01);
      WriteFile(ServedCompanion() + ".sig", sig);
    }
    PresetStartMode();

    ASSERT_TRUE(inst.Run("", "", 120000));

    const auto m = inst.Messages();
    std::vector<std::string> expected = {probe, "Response received in: *",
                                         "Checking Sarvo version with server",
                                         "Downloaden van BASE/software/sarvo/sarvo2006.exe"};
    if (r.installed) {
      expected.insert(
          expected.end(),
          {"Handtekening BASE/software/sarvo/sarvo2006.exe.sig is geldig (sleutel: "
           "HKLM\\SOFTWARE\\hollvik\\Sarvo\\UpdateKey, 2048 bits)",
           "Opgeslagen als APPsarvo2006.exe (*", "Starting APPsarvo2006.exe with \"/AUTO /INIT\"",
           "## LastErrorCode: 0: *", "Waiting for Sarvo....", "Sarvo has been closed"});
    } else {
      expected.insert(
          expected.end(),
          {"====[ Exception report ]================================", "Environment details:",
           "Exception details:", "========================================================", "",
           sigUrl + r.cause});
    }
    expected.insert(expected.end(),
                    {"Kestro v wordt gestart", "Resultcode *", "Loader is afgesloten"});
    ExpectLog(m, expected, inst.AppDir());
    EXPECT_TRUE(ReadFile(u.local) == (r.installed ? u.served : u.original)) << "installed file";
    EXPECT_EQ(Exists(u.local + ".bak"), r.installed);
    EXPECT_FALSE(Exists(inst.AppDir() + "sarvo2006.tmp")) << "Temp left behind";
    const std::string seenFile = inst.AppDir() + "sarvo-seen.txt";
    EXPECT_EQ(Exists(seenFile) ? ReadFile(seenFile) : std::string(),
              r.installed ? "State=1 Params=/AUTO /INIT\n" : "");
    ExpectStartMode("0x0", r.installed ? "" : "earlier");
    ExpectMainProgramStarted(inst, m);
  }
}

// The maker's way end to end: kestro-publish lays the newer companion out in
// the server's folder and signs it, its check finds nothing a loader would
// trip over, and the loader with the matching key installs and starts it.
TEST(OnlineRoads, PublishedReleaseIsInstalledAndStarted) {
  NewerCompanionServed u;
  Installation& inst = u.inst;
  RemoveAll(ServerRoot() + "software");
  const std::string newer = IncludeTrailingPathDelimiter(inst.Root()) + "newer-sarvo2006.exe";
  WriteFile(newer, u.served);
  const std::string keys = std::string(KESTRO_FIXTURE_DIR) + "/keys/";
  const std::string target = OnWindows() ? "windows" : "linux";
  const CaptureResult release =
      RunCapture(BuiltProgram("kestro-publish"),
                 {"release", "--root", ServerRoot(), "--companion", newer, "--key",
                  NativePath(keys + "vendor.key"), "--target", target});
  ASSERT_EQ(release.exitCode, 0) << release.out << release.err;
  const CaptureResult check =
      RunCapture(BuiltProgram("kestro-publish"),
                 {"check", TestServer::Base(), "--key", NativePath(keys + "vendor.pub.pem"),
                  "--companion", newer, "--target", target});
  EXPECT_EQ(check.exitCode, 0) << check.out << check.err;

  MachineUpdateKey key(TestPublicKey("vendor"));
  PresetStartMode();
  ASSERT_TRUE(inst.Run("", "", 120000));

  const auto m = inst.Messages();
  // A signed install: the signature's line, and no line about a missing key.
  std::vector<std::string> expected = kCompanionUpdatedLog;
  expected.erase(std::find(expected.begin(), expected.end(), kUnsignedInstall));
  expected.insert(expected.begin() + 4,
                  "Handtekening BASE/software/sarvo/sarvo2006.exe.sig is geldig (sleutel: "
                  "HKLM\\SOFTWARE\\hollvik\\Sarvo\\UpdateKey, 2048 bits)");
  ExpectLog(m, expected, inst.AppDir());
  EXPECT_TRUE(ReadFile(u.local) == u.served) << "the published companion is not installed";
  const std::string seenFile = inst.AppDir() + "sarvo-seen.txt";
  EXPECT_EQ(Exists(seenFile) ? ReadFile(seenFile) : std::string(), "State=1 Params=/AUTO /INIT\n");
  ExpectMainProgramStarted(inst, m);
}

// The update server under an https address: with the test authority trusted
// the whole road runs over TLS; without it the connection test finds no
// server, and the loader goes on to the main program without touching the
// companion.
TEST(OnlineRoads, HttpsServerIsUsedOnlyWhenItsCertificateIsTrusted) {
  const TestTls tls = MakeTestTls(ServerRoot() + "tls-e2e");
  ASSERT_TRUE(tls.ok);
  SideServer server(ServerRoot(), "--tls " + ShellQuote(tls.UnixPath("good.pem")) + " " +
                                      ShellQuote(tls.UnixPath("server.key")));
  ASSERT_TRUE(server.Started()) << server.Error();
  const ScopedEnv serverAddress("KESTRO_UPDATE_SERVER",
                                "https://127.0.0.1:" + std::to_string(server.Port()));

  for (const bool trusted : {false, true}) {
    SCOPED_TRACE(trusted ? "trusted authority" : "unknown authority");
    std::unique_ptr<TrustedTestCa> trust;
    if (trusted) trust = std::make_unique<TrustedTestCa>(tls);
    NewerCompanionServed u;
    Installation& inst = u.inst;
    PresetStartMode();

    ASSERT_TRUE(inst.Run("", "", 120000));

    const auto m = inst.Messages();
    if (trusted) {
      ExpectLog(m, kCompanionUpdatedLog, inst.AppDir());
      EXPECT_TRUE(ReadFile(u.local) == u.served) << "the new companion is not installed";
      ExpectStartMode("0x0", "");
    } else {
      EXPECT_TRUE(Contains(m, std::string(kNoInternet) + "Webserver niet beschikbaar]"))
          << ::testing::PrintToString(m);
      EXPECT_FALSE(Contains(m, "Checking Sarvo version with server"));
      EXPECT_TRUE(ReadFile(u.local) == u.original) << "the companion was touched";
      ExpectStartMode("0x5", "earlier");
    }
    ExpectMainProgramStarted(inst, m);
  }
}

// An office that reaches the update server only through the proxy its
// administrator set: every request of the road goes through it.
TEST(OnlineRoads, UpdateRunsThroughTheSystemsProxy) {
  const std::string proxyRoot = ServerRoot() + "proxy-e2e";
  MakeDirs(proxyRoot);
  SideServer proxy(proxyRoot, "--proxy");
  ASSERT_TRUE(proxy.Started()) << proxy.Error();
  NewerCompanionServed u;
  Installation& inst = u.inst;
  PresetStartMode();
  {
    SystemProxy system(proxy.Port());
    ASSERT_TRUE(inst.Run("", "", 120000));
  }
  const auto m = inst.Messages();
  EXPECT_TRUE(std::any_of(m.begin(), m.end(), [](const std::string& line) {
    return line.rfind("Response received in: ", 0) == 0;
  })) << ::testing::PrintToString(m);
  EXPECT_TRUE(ReadFile(u.local) == u.served) << "the new companion is not installed";
  ExpectMainProgramStarted(inst, m);
  const std::string seen = ReadFile(proxyRoot + platform::kPathDelim + ".requests.log");
  for (const char* request :
       {"HEAD BASE/software/versie.txt", "HEAD BASE/software/sarvo/sarvo2006.exe",
        "GET BASE/software/sarvo/versie.txt", "GET BASE/software/sarvo/sarvo2006.exe"}) {
    EXPECT_NE(std::string::npos, seen.find(Expand(request, "") + "\n"))
        << request << " did not go through the proxy:\n"
        << seen;
  }
}

// The server's record of its connections: how many it opened.
int ConnectionsOpened() {
  const std::string text = ReadFile(ServerRoot() + ".connections.log");
  int opened = 0;
  for (std::size_t at = 0; (at = text.find("open ", at)) != std::string::npos; ++at) {
    if (at == 0 || text[at - 1] == '\n') ++opened;
  }
  return opened;
}

// A start against a server that keeps its connections open, as web servers
// do: the probe, the size check and (when the companion is out of date) the
// reachability file and the download go out on one connection, and a
// connection the server dropped meanwhile costs nothing, with the same log as
// a server that closes after every answer. No connection is held open while
// the companion runs.
TEST(OnlineRoads, AStartTakesOneConnectionToAKeepAliveServer) {
  const std::vector<std::string> upToDateLog = {
      "Testen van verbinding. URL: BASE/software/versie.txt, Timeout: 0:00:15.000",
      "Response received in: *",
      "Checking Sarvo version with server",
      "Starting APPsarvo2006.exe with \"/AUTO\"",
      "## LastErrorCode: 0: *",
      "Waiting for Sarvo....",
      "Sarvo has been closed",
      "Kestro v wordt gestart",
      "Resultcode *",
      "Loader is afgesloten"};
  struct Case {
    const char* name;
    bool outOfDate;
    const char* rules;
    int connections;
    std::size_t sizeChecks;  // HEADs of the companion the server saw
  };
  const Case cases[] = {
      {"up to date", false, "{}", 1, 1},
      {"out of date", true, "{}", 1, 1},
      {"the server closes the idle connection after the probe", false,
       R"({"/software/versie.txt": {"close_after": true}})", 2, 1},
      {"the server drops the connection as the size check comes", false,
       R"({"HEAD /software/sarvo/sarvo2006.exe": {"drop_reused": true}})", 2, 2},
  };
  SideServer server(TestServer::Root(), "--keep-alive");
  ASSERT_TRUE(server.Started()) << server.Error();
  const ScopedEnv base("KESTRO_UPDATE_SERVER", "http://127.0.0.1:" + std::to_string(server.Port()));
  const ScopedEnv record("KESTRO_STANDIN_CONNECTIONS", ServerRoot() + ".connections.log");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Installation inst;
    inst.AddMainProgram();
    inst.AddFixture("sarvo_standin", "sarvo2006.exe");
    const std::string local = inst.AppDir() + "sarvo2006.exe";
    const std::string served = ReadFile(local) + (c.outOfDate ? "newer build" : "");
    ServeProbeFile(true);
    ServeCompanion(&served);
    TestServer::SetRules(c.rules);
    RemoveAll(ServerRoot() + ".connections.log");
    const std::string sizeCheck = "HEAD /software/sarvo/sarvo2006.exe";
    const std::size_t sizeChecksBefore = TestServer::CountRequests(sizeCheck);
    const bool ran = inst.Run("", "", 120000);
    TestServer::SetRules("{}");
    ASSERT_TRUE(ran);
    ExpectLog(inst.Messages(), c.outOfDate ? kCompanionUpdatedLog : upToDateLog, inst.AppDir());
    EXPECT_TRUE(ReadFile(local) == served) << "the server's companion is not in place";
    EXPECT_EQ(ConnectionsOpened(), c.connections);
    EXPECT_EQ(TestServer::CountRequests(sizeCheck) - sizeChecksBefore, c.sizeChecks);
    // Wine's WinHTTP keeps its idle connections in one pool for the whole
    // process, which no session's close reaches, for 30 s after their last
    // answer (Windows closes them with the session).
    const std::string seen = inst.AppDir() + "connections-seen.txt";
    EXPECT_EQ(Exists(seen) ? ReadFile(seen) : std::string(),
              OnWindows() ? "connections open: 1\n" : "connections open: 0\n")
        << "a connection was held open while the companion ran";
  }
}

std::vector<std::string> Refused(const std::string& cause) {
  return {"====[ Exception report ]================================",
          "Environment details:",
          "Exception details:",
          "========================================================",
          "",
          "Oorzaak: " + cause};
}

// A maker who rotates keys ships the new public key beside the old one: a
// signature by any configured key is valid, and the log names which; a block
// that is no usable key is skipped with a line, the others still count.
TEST(OnlineRoads, AnyOfSeveralKeysMaySignAnUpdate) {
  const std::string keyValue = "HKLM\\SOFTWARE\\hollvik\\Sarvo\\UpdateKey";
  struct KeyRoad {
    const char* name;
    std::vector<std::string> keys;
    const char* signer;
    bool installed;
    std::vector<std::string> lines;  // after the download line
  };
  const std::string sigUrl = "BASE/software/sarvo/sarvo2006.exe.sig";
  std::vector<std::string> byTheNewKey = {
      "Handtekening " + sigUrl + " is geldig (sleutel: " + keyValue + ", nr. 2 van 2, 2048 bits)"};
  byTheNewKey.insert(byTheNewKey.end(), kInstalledAndStarted.begin(), kInstalledAndStarted.end());
  std::vector<std::string> pastABrokenBlock = {"Sleutel nr. 1 van 2 (" + keyValue +
                                               ") overgeslagen: *"};
  pastABrokenBlock.insert(pastABrokenBlock.end(), byTheNewKey.begin(), byTheNewKey.end());
  std::vector<std::string> pastAWeakKey = {"Sleutel nr. 1 van 2 (" + keyValue +
                                           ") overgeslagen: *"};
  pastAWeakKey.insert(pastAWeakKey.end(), byTheNewKey.begin(), byTheNewKey.end());
  const KeyRoad roads[] = {
      {"old and new key, signed with the new one",
       {"other", "vendor"},
       "vendor",
       true,
       byTheNewKey},
      {"a block that is no key before the key",
       {"garbage", "vendor"},
       "vendor",
       true,
       pastABrokenBlock},
      {"a key too weak before the key", {"weak", "vendor"}, "vendor", true, pastAWeakKey},
      {"signed by neither key",
       {"vendor", "large"},
       "other",
       false,
       Refused("EUpdateSignatureError: Handtekening " + sigUrl + " klopt niet bij de download*")},
  };
  for (const KeyRoad& r : roads) {
    SCOPED_TRACE(r.name);
    NewerCompanionServed u;
    std::string pem;
    for (const std::string& k : r.keys) pem += TestPublicKey(k);
    MachineUpdateKey key(pem);
    ASSERT_TRUE(SignWithOpenssl(r.signer, ServedCompanion()));
    PresetStartMode();

    ASSERT_TRUE(u.inst.Run("", "", 120000));

    ExpectLog(u.inst.Messages(), UpdateRoadLog(r.lines), u.inst.AppDir());
    EXPECT_TRUE(ReadFile(u.local) == (r.installed ? u.served : u.original)) << "installed file";
  }
  platform::FileDelete(ServedCompanion() + ".sig");
}

// Only a value that does not exist means "not set": a machine store that
// another process holds locked while the loader reads, or that is damaged,
// leaves the administrator's policy unknown, which stops the update before
// anything is downloaded, and no unsigned download is installed. (The
// Windows registry has no such failure to provoke from a test.)
TEST(OnlineRoads, AMachineStoreThatCannotBeReadStopsTheUpdate) {
  if (OnWindows()) GTEST_SKIP() << "the Linux port's machine store";
  for (const bool damaged : {false, true}) {
    SCOPED_TRACE(damaged ? "a damaged store" : "a store held by a writer");
    NewerCompanionServed u;
    MachineUpdateKey key(TestPublicKey("vendor"));
    ASSERT_TRUE(SignWithOpenssl("vendor", ServedCompanion()));
    std::string storeDir;
    ASSERT_TRUE(platform::GetEnv("KESTRO_REGISTRY_DIR", storeDir));
    const std::string store = storeDir + "/machine.db";
    const std::string held = u.inst.Root() + "held";
    platform::ShellExecResult writer;
    if (damaged) {
      WriteFile(store, std::string(4096, 'x'));
    } else {
      writer = platform::ShellExecuteProcess(
          "open", "python3",
          "-c \"import sqlite3, sys, time; c = sqlite3.connect(sys.argv[1], "
          "isolation_level=None); c.execute('BEGIN EXCLUSIVE'); open(sys.argv[2], 'w').close(); "
          "time.sleep(120)\" " +
              store + " " + held,
          "", platform::ShowCommand::Hidden);
      ASSERT_TRUE(writer.ok) << writer.error;
      for (int i = 0; i < 200 && !Exists(held); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      ASSERT_TRUE(Exists(held)) << "the writer never took the lock";
    }
    PresetStartMode();

    const bool ran = u.inst.Run("", "", 120000);
    if (writer.ok) {
      writer.process.Terminate();
      writer.process.Wait(10000);
    }
    ASSERT_TRUE(ran);

    const std::string why = damaged ? "The configuration registry database is corrupt."
                                    : "The process cannot access the file because another "
                                      "process has locked a portion of the file.";
    ExpectLog(u.inst.Messages(),
              {"Testen van verbinding. URL: BASE/software/versie.txt, Timeout: 0:00:15.000",
               "Response received in: *", "Beleid voor updates kon niet worden gelezen: " + why,
               "Update uitgeschakeld door beleid", "Update wordt overgeslagen",
               "Kestro v wordt gestart", "Resultcode *", "Loader is afgesloten"},
              u.inst.AppDir());
    EXPECT_TRUE(ReadFile(u.local) == u.original) << "an unchecked download was installed";
    EXPECT_FALSE(Exists(u.local + ".bak"));
  }
  platform::FileDelete(ServedCompanion() + ".sig");
}

// Runs the loader without the test run's server address, so that it takes
// the address from its policy or its build.
bool RunWithoutTestServer(Installation& inst) {
  const ScopedEnv noTestServer("KESTRO_UPDATE_SERVER", "");
  return inst.Run("", "", 120000);
}

// The administrator's policy under HKLM\SOFTWARE\Policies: DisableUpdate
// acts as the /noupdate switch, UpdateServer names the server in place of the
// built-in one. The same values under the user's root change nothing.
TEST(OnlineRoads, TheAdministratorsPolicyDecidesTheUpdate) {
  const std::string policy = "SOFTWARE\\Policies\\hollvik\\Sarvo";
  const std::string probe =
      "Testen van verbinding. URL: BASE/software/versie.txt, Timeout: 0:00:15.000";
  {
    SCOPED_TRACE("DisableUpdate");
    NewerCompanionServed u;
    SetRegDword(platform::RegRoot::LocalMachine, policy, "DisableUpdate", 1);
    PresetStartMode();
    ASSERT_TRUE(u.inst.Run("", "", 60000));
    ExpectLog(u.inst.Messages(),
              {probe, "Response received in: *", "Update uitgeschakeld door beleid",
               "Update wordt overgeslagen", "Kestro v wordt gestart", "Resultcode *",
               "Loader is afgesloten"},
              u.inst.AppDir());
    EXPECT_TRUE(ReadFile(u.local) == u.original) << "the companion was updated";
    ExpectStartMode("0x5", "earlier");
    platform::RegDeleteKeyTree(platform::RegRoot::LocalMachine, policy);
  }
  {
    SCOPED_TRACE("the policy values under the user's root");
    NewerCompanionServed u;
    SetRegDword(platform::RegRoot::CurrentUser, policy, "DisableUpdate", 1);
    SetRegString(platform::RegRoot::CurrentUser, policy, "UpdateServer", "http://127.0.0.1:1");
    ASSERT_TRUE(RunWithoutTestServer(u.inst));
    const auto m = u.inst.Messages();
    ASSERT_FALSE(m.empty());
    EXPECT_EQ(m[0], "Testen van verbinding. URL: " KESTRO_DEFAULT_UPDATE_SERVER
                    "/software/versie.txt, Timeout: 0:00:15.000");
    EXPECT_FALSE(Contains(m, "Update uitgeschakeld door beleid"));
    platform::RegDeleteKeyTree(platform::RegRoot::CurrentUser, policy);
  }
  {
    SCOPED_TRACE("UpdateServer");
    NewerCompanionServed u;
    SetRegString(platform::RegRoot::LocalMachine, policy, "UpdateServer", TestServer::Base());
    PresetStartMode();
    ASSERT_TRUE(RunWithoutTestServer(u.inst));
    ExpectLog(u.inst.Messages(), kCompanionUpdatedLog, u.inst.AppDir());
    EXPECT_TRUE(ReadFile(u.local) == u.served) << "the new companion is not installed";
    platform::RegDeleteKeyTree(platform::RegRoot::LocalMachine, policy);
  }
  {
    // The administrator outranks the environment: with both set, the
    // policy's server is asked.
    SCOPED_TRACE("UpdateServer beside KESTRO_UPDATE_SERVER");
    NewerCompanionServed u;
    SetRegString(platform::RegRoot::LocalMachine, policy, "UpdateServer", TestServer::Base());
    PresetStartMode();
    bool ran = false;
    {
      const ScopedEnv elsewhere("KESTRO_UPDATE_SERVER", "http://127.0.0.1:1");
      ran = u.inst.Run("", "", 120000);
    }
    ASSERT_TRUE(ran);
    // BASE is the test server's address, the policy's.
    ExpectLog(u.inst.Messages(), kCompanionUpdatedLog, u.inst.AppDir());
    EXPECT_TRUE(ReadFile(u.local) == u.served) << "the new companion is not installed";
    platform::RegDeleteKeyTree(platform::RegRoot::LocalMachine, policy);
  }
  {
    SCOPED_TRACE("UpdateServer that is no web address");
    NewerCompanionServed u;
    SetRegString(platform::RegRoot::LocalMachine, policy, "UpdateServer", "ftp://127.0.0.1/");
    ASSERT_TRUE(RunWithoutTestServer(u.inst));
    const auto m = u.inst.Messages();
    ASSERT_GE(m.size(), 2u);
    EXPECT_EQ(m[0],
              "Beleidswaarde UpdateServer genegeerd, geen http- of https-adres: "
              "ftp://127.0.0.1/");
    EXPECT_EQ(m[1], "Testen van verbinding. URL: " KESTRO_DEFAULT_UPDATE_SERVER
                    "/software/versie.txt, Timeout: 0:00:15.000");
    EXPECT_TRUE(ReadFile(u.local) == u.original) << "the companion was updated";
    platform::RegDeleteKeyTree(platform::RegRoot::LocalMachine, policy);
  }
}

// With a key configured, a genuinely signed release older than the installed
// companion (a stale mirror, a replayed answer) is refused; the same version
// rebuilt, and a newer one, are installed. Versions come from the programs'
// version resources, which the Linux port's companions do not have: there the
// rule is the unit test of the version order.
TEST(OnlineRoads, ASignedOlderReleaseIsRefused) {
  if (!OnWindows()) GTEST_SKIP() << "the Linux port's companions carry no version";
  struct VersionRoad {
    const char* name;
    const char* installed;
    const char* served;
    const char* padding;  // after the served program, so that the sizes differ
    bool installedAfter;
  };
  const VersionRoad roads[] = {
      {"an older release", "ver_nl_1_1.exe", "ver_nl_1_0.exe", "older", false},
      {"the same version rebuilt", "ver_nl_1_1.exe", "ver_nl_1_1.exe", "rebuilt", true},
      {"a newer release", "ver_nl_1_0.exe", "ver_nl_1_1.exe", "newer", true},
  };
  for (const VersionRoad& r : roads) {
    SCOPED_TRACE(r.name);
    Installation inst;
    inst.AddMainProgram();
    const std::string local = inst.AppDir() + "sarvo2006.exe";
    const std::string original = ReadFile(PeFixture(r.installed));
    WriteFile(local, original);
    const std::string served = ReadFile(PeFixture(r.served)) + r.padding;
    ServeProbeFile(true);
    ServeCompanion(&served);
    MachineUpdateKey key(TestPublicKey("vendor"));
    ASSERT_TRUE(SignWithOpenssl("vendor", ServedCompanion()));

    ASSERT_TRUE(inst.Run("", "", 120000));

    const auto m = inst.Messages();
    const std::string refusal = std::string(
        "Oorzaak: EUpdateDowngrade: Versie 1.0 is ouder dan de "
        "ge\xEFnstalleerde 1.1");
    EXPECT_EQ(Contains(m, refusal), !r.installedAfter) << ::testing::PrintToString(m);
    EXPECT_TRUE(ReadFile(local) == (r.installedAfter ? served : original)) << "installed file";
    ExpectMainProgramStarted(inst, m);
  }
  platform::FileDelete(ServedCompanion() + ".sig");
}

}  // namespace
