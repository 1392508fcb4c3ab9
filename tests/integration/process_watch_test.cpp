// The companion process watch against real processes: copies of the recorder
// fixture under companion names, each sleeping for a while and writing the
// tick count of its end into a record file.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "companion/u_SarvoChecker.h"
#include "loader/SplashForm.h"
#include "platform/files.h"
#include "platform/gui.h"
#include "platform/process.h"
#include "platform/shell.h"
#include "platform/sysinfo.h"
#include "support/run_capture.h"
#include "support/testing.h"
#include "support/u_Utility.h"
#include "support/watched_window.h"

using namespace testing_support;

namespace {

const char* const kCompanionNames[] = {"Sarvo2006.exe", "Sarvo2009.exe", "Sarvo2010.exe",
                                       "Sarvo.exe"};

// True when a process of exactly this executable name runs.
bool ListedExactly(const std::string& name) {
  bool found = false;
  platform::ForEachProcessName([&](const std::string& exe) {
    found = exe == name;
    return found;
  });
  return found;
}

std::vector<std::string> RunningCompanions() {
  std::vector<std::string> names;
  for (const char* n : kCompanionNames) {
    if (TUtility::IsProcessRunning(n)) names.push_back(n);
  }
  return names;
}

// A started copy of the recorder under `name`, in a folder of its own so two
// companions may differ in letter case only. It is ended when the test is
// over, however the test went.
class Companion {
 public:
  Companion(const std::string& folder, const std::string& name, std::uint32_t ms)
      : name_(name), record_(folder + "record.txt") {
    MakeDirs(folder);
    const std::string exe = folder + name;
    EXPECT_TRUE(platform::FileCopy(FixtureProgram("recorder"), exe, false)) << exe;
    platform::ShellExecResult r =
        platform::ShellExecuteProcess("open", exe, std::to_string(ms) + " \"" + record_ + "\"",
                                      folder, platform::ShowCommand::Normal);
    EXPECT_TRUE(r.ok) << "cannot start " << exe << ": code " << r.error;
    process_ = std::move(r.process);
  }

  ~Companion() {
    if (process_.IsValid() && process_.Wait(0) != platform::ProcessHandle::WaitResult::Ended) {
      process_.Terminate();
      process_.Wait(5000);
    }
  }

  // Waits until the process list shows it; false after ten seconds.
  bool AwaitListed() const {
    for (int i = 0; i < 1000; ++i) {
      if (ListedExactly(name_)) return true;
      if (Ended()) return false;
      platform::SleepMs(10);
    }
    return false;
  }

  const std::string& Name() const { return name_; }
  bool Ended() const { return ReadFile(record_).find("\ndone ") != std::string::npos; }
  // The tick count the program wrote right before it exited.
  std::uint32_t EndTick() const {
    const std::string r = ReadFile(record_);
    const std::size_t p = r.find("\ndone ");
    return p == std::string::npos
               ? 0
               : static_cast<std::uint32_t>(std::strtoul(r.c_str() + p + 6, nullptr, 10));
  }
  platform::ProcessHandle& Process() { return process_; }

 private:
  std::string name_;
  std::string record_;
  platform::ProcessHandle process_;
};

class ProcessWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static bool initialized = false;
    if (!initialized) {
      platform::InitApplication();
      initialized = true;
    }
    previousLogFolder_ = LogFolder;
    LogFolder = dir_ / "log";
    // A companion that runs for reasons of its own would make every wait
    // here meaningless.
    ASSERT_EQ(RunningCompanions(), std::vector<std::string>());
  }

  void TearDown() override { LogFolder = previousLogFolder_; }

  std::vector<std::string> LogMessages() const {
    const std::string file = IncludeTrailingPathDelimiter(LogFolder) +
                             ChangeFileExt(ExtractFileName(TUtility::ExeName()), ".log");
    std::vector<std::string> messages;
    for (const std::string& line : SplitCrLf(ReadFile(file))) {
      // Message lines carry the 79-character prefix; header lines do not.
      if (line.size() >= 79 && line.compare(77, 2, "] ") == 0) messages.push_back(line.substr(79));
    }
    return messages;
  }

  TempDir dir_;
  std::string previousLogFolder_;
};

constexpr std::uint32_t kPosted = 0x0400 + 78;

TEST_F(ProcessWatchTest, NoCompanionRunningLogsBothLinesWithoutPolling) {
  // A message waits in the queue: only a poll would process it.
  int handled = 0;
  platform::SplashHandlers handlers;
  handlers.onMessage = [&](std::uint32_t msg) { handled += msg == kPosted; };
  platform::SplashWindow window(LoaderSplashForm(), handlers);
  window.Post(kPosted);

  SarvoTesterT tester(nullptr, dir_.path());
  tester.WaitForClose();

  EXPECT_EQ(LogMessages(),
            (std::vector<std::string>{"Waiting for Sarvo....", "Sarvo has been closed"}));
  EXPECT_EQ(handled, 0) << "the wait polled although no companion was running";
  platform::ProcessMessages();
  EXPECT_EQ(handled, 1);
}

TEST_F(ProcessWatchTest, WaitsUntilTheLastCompanionIsGone) {
  struct Started {
    const char* name;
    std::uint32_t ms;
  };
  struct Case {
    const char* name;
    std::vector<Started> processes;
  };
  const Case cases[] = {
      {"lower-case name", {{"sarvo2010.exe", 1500}}},
      // Only contains "Sarvo.exe": the substring match keeps the wait going.
      {"name that contains a companion name", {{"OLDSARVO.EXE", 1500}}},
      // The first name of the list ends early, the last one runs on.
      {"two overlapping", {{"sarvo2006.exe", 500}, {"Sarvo.exe", 1800}}},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::FileDelete(IncludeTrailingPathDelimiter(LogFolder) +
                         ChangeFileExt(ExtractFileName(TUtility::ExeName()), ".log"));
    std::vector<std::unique_ptr<Companion>> companions;
    for (const Started& s : c.processes) {
      const std::string folder = dir_ / JoinPath({std::to_string(index++), ""});
      companions.push_back(std::make_unique<Companion>(folder, s.name, s.ms));
      ASSERT_TRUE(companions.back()->AwaitListed()) << s.name << " never showed up";
    }
    Companion& last = *companions.back();

    // The splash window keeps being serviced: a message posted before the
    // wait is handled while the companion still runs.
    bool handled = false;
    bool handledWhileRunning = false;
    platform::SplashHandlers handlers;
    handlers.onMessage = [&](std::uint32_t msg) {
      if (msg != kPosted) return;
      handled = true;
      handledWhileRunning = !last.Ended();
    };
    platform::SplashWindow window(LoaderSplashForm(), handlers);
    window.Post(kPosted);

    SarvoTesterT tester(nullptr, dir_.path());
    tester.WaitForClose();
    const std::uint32_t returned = platform::TickCount();

    for (const auto& comp : companions) {
      EXPECT_TRUE(comp->Ended()) << comp->Name() << " still ran when the wait ended";
    }
    // The wait ends at the first poll after the last one is gone: within one
    // 250 ms interval plus the time the process takes to leave the list,
    // with room for a busy machine.
    const std::uint32_t lateBy = returned - last.EndTick();
    EXPECT_LE(lateBy, 1000u) << "the wait ended " << lateBy << " ms after the last companion";
    EXPECT_TRUE(handled);
    EXPECT_TRUE(handledWhileRunning);
    EXPECT_EQ(LogMessages(),
              (std::vector<std::string>{"Waiting for Sarvo....", "Sarvo has been closed"}));
  }
}

TEST_F(ProcessWatchTest, ACompanionOfAnotherSessionDoesNotHoldTheWait) {
  // On a terminal server every adviser has a session of his own; a companion
  // tool open in another session must not hold this loader. The tests run as
  // root and start the companion as another user ("nobody"), and as root in a
  // login session of its own (a new login uid gives the process a new
  // session id). Wine shows every process in the caller's own session, so
  // only the Linux port can show this.
  if (OnWindows()) GTEST_SKIP() << "needs processes of other sessions";
  namespace fs = std::filesystem;
  struct Case {
    const char* name;
    const char* launcher;  // a script that starts its arguments in the other session
  };
  const Case cases[] = {
      {"another user",
       "#!/bin/sh\nexec setpriv --reuid=nobody --regid=nogroup --clear-groups \"$@\"\n"},
      {"same user, another login session",
       "#!/bin/sh\necho 0 > /proc/self/loginuid || exit 3\nexec \"$@\"\n"},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A kernel without login sessions, or a container that may not start
    // one, cannot show the second case.
    if (std::string(c.name).find("login") != std::string::npos &&
        (ReadFile("/proc/self/sessionid").empty() ||
         RunCapture("/bin/sh", {"-c", "echo 0 > /proc/self/loginuid"}).exitCode != 0)) {
      continue;
    }
    platform::FileDelete(IncludeTrailingPathDelimiter(LogFolder) +
                         ChangeFileExt(ExtractFileName(TUtility::ExeName()), ".log"));
    const std::string folder = dir_ / JoinPath({"other" + std::to_string(index++), ""});
    MakeDirs(folder);
    // The other user must reach the program and write its record.
    fs::permissions(dir_.path(), fs::perms::all, fs::perm_options::add);
    fs::permissions(folder, fs::perms::all, fs::perm_options::add);
    const std::string exe = folder + "Sarvo2009.exe";
    const std::string record = folder + "record.txt";
    ASSERT_TRUE(platform::FileCopy(FixtureProgram("recorder"), exe, false));
    fs::permissions(exe, fs::perms::all, fs::perm_options::add);
    WriteFile(folder + "launch", c.launcher);
    fs::permissions(folder + "launch", fs::perms::all, fs::perm_options::add);
    platform::ShellExecResult r = platform::ShellExecuteProcess(
        "open", folder + "launch", "\"" + exe + "\" 20000 \"" + record + "\"", folder,
        platform::ShowCommand::Normal);
    ASSERT_TRUE(r.ok) << "cannot start the other session's companion: code " << r.error;
    struct Ender {
      platform::ProcessHandle& p;
      ~Ender() {
        p.Terminate();
        p.Wait(5000);
      }
    } ender{r.process};
    bool listed = false;
    for (int i = 0; i < 1000 && !listed; ++i) {
      listed = ListedExactly("Sarvo2009.exe");
      if (!listed) platform::SleepMs(10);
    }
    ASSERT_TRUE(listed) << "the other session's companion never showed up";

    EXPECT_FALSE(TUtility::IsProcessRunning("Sarvo2009.exe"));
    const std::uint32_t start = platform::TickCount();
    SarvoTesterT tester(nullptr, dir_.path());
    tester.WaitForClose();
    const std::uint32_t waited = platform::TickCount() - start;
    EXPECT_LT(waited, 2000u) << "another session's companion held the wait";
    EXPECT_EQ(LogMessages(),
              (std::vector<std::string>{"Waiting for Sarvo....", "Sarvo has been closed"}));
    // It still ran all the while: the wait ended although it was listed.
    EXPECT_EQ(r.process.Wait(0), platform::ProcessHandle::WaitResult::TimedOut);
  }
}

// Between two looks at the process list (every 250 ms) the wait handles the
// window's messages as they arrive, not once per look: a thread posts every
// 5 ms, and hardly any of the wait may pass in gaps longer than 25 ms.
TEST_F(ProcessWatchTest, MessagesAreHandledAsTheyArriveBetweenTwoLooks) {
  Companion companion(dir_ / JoinPath({"gaps", ""}), "Sarvo2006.exe", 2000);
  ASSERT_TRUE(companion.AwaitListed());
  WatchedWindow window;
  window.StartPosting();
  const WatchedWindow::Clock::time_point start = WatchedWindow::Clock::now();
  SarvoTesterT tester(nullptr, dir_.path());
  tester.WaitForClose();
  const WatchedWindow::Clock::time_point end = WatchedWindow::Clock::now();
  window.StopPosting();
  const WatchedWindow::Span span = window.Between(start, end, 25);
  const long long waitedMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(end - start).count();
  std::printf(
      "companion watch: waited %lld ms, %zu messages handled, longest gap %lld ms, "
      "%lld ms in gaps over 25 ms\n",
      waitedMs, span.count, span.longestGapMs, span.msInGapsOver);
  RecordProperty("longest_gap_ms", static_cast<int>(span.longestGapMs));
  EXPECT_GE(waitedMs, 1000);
  EXPECT_EQ(0, span.handledElsewhere);
  EXPECT_LT(span.msInGapsOver * 100, waitedMs * 30) << "longest gap " << span.longestGapMs << " ms";
  EXPECT_LT(span.longestGapMs, 250);
}

TEST_F(ProcessWatchTest, IsProcessRunningMatchesPartsOfUpperCasedNames) {
  // "\xE9" and "\xC9" are e and E with an acute accent in the Windows ANSI
  // code page; on the Linux port they are just bytes of a file name.
  Companion lower(dir_ / JoinPath({"a", ""}), "sarvo2010.exe", 30000);
  Companion upper(dir_ / JoinPath({"b", ""}), "OLDSARVO.EXE", 30000);
  Companion accented(dir_ / JoinPath({"c", ""}), "kestro\xE9watch.exe", 30000);
  ASSERT_TRUE(lower.AwaitListed());
  ASSERT_TRUE(upper.AwaitListed());
  ASSERT_TRUE(accented.AwaitListed());

  const struct {
    const char* wanted;
    bool running;
  } cases[] = {
      {"Sarvo2010.exe", true},
      {"SARVO2010.EXE", true},
      {"sarvo2010.exe", true},
      {"2010.ExE", true},
      {"Sarvo.exe", true},  // inside OLDSARVO.EXE
      {"oldsarvo.exe", true},
      {"Sarvo2011.exe", false},
      {"sarvo2010.exe ", false},
      {"OLDSARVO.EXE.EXE", false},
      {"KESTRO\xE9WATCH.EXE", true},  // only a to z change case
      {"kestro\xE9watch", true},
      {"KESTRO\xC9WATCH.EXE", false},  // the accented letters compare exactly
      {"kestro\xC9watch", false},
      {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("wanted \"") + c.wanted + "\"");
    EXPECT_EQ(TUtility::IsProcessRunning(c.wanted), c.running);
  }

  // Once a process has ended it is not running any more.
  lower.Process().Terminate();
  EXPECT_EQ(lower.Process().Wait(10000), platform::ProcessHandle::WaitResult::Ended);
  lower.Process().Close();
  EXPECT_FALSE(TUtility::IsProcessRunning("sarvo2010.exe"));
}

}  // namespace
