// The elevated start and wait with a real program: the recorder fixture,
// copied into a folder with a blank in its name, writes where it ran, sleeps
// and writes "done" just before it exits.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "loader/SplashForm.h"
#include "platform/files.h"
#include "platform/gui.h"
#include "platform/sysinfo.h"
#include "support/testing.h"
#include "support/u_Utility.h"
#include "support/xdotool.h"

using namespace testing_support;

namespace {

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

class ExecuteAndWaitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = dir_ / "Sarvo map";
    MakeDirs(folder_);
    folder_ += platform::kPathDelim;
    tool_ = folder_ + "tool.exe";
    record_ = dir_ / "record.txt";
    ASSERT_TRUE(platform::FileCopy(FixtureProgram("recorder"), tool_, false));
    TUtility::ExecuteAndWaitWatch watch;
    watch.onStart = [this](const std::string& verb, const std::string& directory) {
      verbs_.push_back(verb);
      directories_.push_back(directory);
    };
    watch.onSlice = [this]() {
      ++slices_;
      if (onSlice_) onSlice_();
    };
    TUtility::SetExecuteAndWaitWatchForTesting(watch);
  }

  void TearDown() override {
    TUtility::SetExecuteAndWaitWatchForTesting({});
    TWinDetect::SetOsVersionSourceForTesting({});
  }

  // Runs the tool: it sleeps `ms` and records into record_.
  int RunTool(std::uint32_t ms) {
    return TUtility::ExecuteAndWait(tool_, std::to_string(ms) + " " + Quoted(record_));
  }

  bool ToolHasEnded() const { return ReadFile(record_).find("\ndone ") != std::string::npos; }

  TempDir dir_;
  std::string folder_;
  std::string tool_;
  std::string record_;
  std::vector<std::string> verbs_;
  std::vector<std::string> directories_;
  int slices_ = 0;
  std::function<void()> onSlice_;
};

TEST_F(ExecuteAndWaitTest, RunsTheProgramInItsFolderAndReturnsAfterItEnded) {
  EXPECT_EQ(RunTool(400), 0);
  EXPECT_TRUE(ToolHasEnded()) << "returned before the program ended";
  // The start request names the file's folder, and the program ran there.
  ASSERT_EQ(directories_.size(), 1u);
  EXPECT_EQ(directories_[0], folder_);
  const std::string record = ReadFile(record_);
  const std::string cwdLine = record.substr(0, record.find('\n'));
  ASSERT_EQ(cwdLine.compare(0, 4, "cwd="), 0) << record;
  EXPECT_EQ(IncludeTrailingPathDelimiter(cwdLine.substr(4)), folder_);
  // A 400 ms program outlasts several 50 ms slices.
  EXPECT_GE(slices_, 2);
}

// The verb follows the OS version record: "runas" on every NT-family Windows
// from 6.0 on, "open" everywhere else. The program really runs with the verb
// chosen (the Linux port has no elevation and ignores the verb).
TEST_F(ExecuteAndWaitTest, ChoosesTheVerbFromTheVersionRecord) {
  struct Case {
    const char* name;
    platform::OsVersion version;  // major, minor, build, platform id
    bool win7;
    bool vista;
    const char* verb;
  };
  const Case cases[] = {
      {"XP 5.1", {5, 1, 2600, 2}, false, false, "open"},
      {"Server 2003 5.2", {5, 2, 3790, 2}, false, false, "open"},
      {"98 on platform 1", {4, 10, 2222, 1}, false, false, "open"},
      {"6.1 on platform 1", {6, 1, 7601, 1}, false, false, "open"},
      {"Vista 6.0", {6, 0, 6002, 2}, false, true, "runas"},
      {"6.1 below build 7600", {6, 1, 7599, 2}, false, true, "runas"},
      {"7 6.1 build 7600", {6, 1, 7600, 2}, true, false, "runas"},
      {"7 SP1 6.1 build 7601", {6, 1, 7601, 2}, true, false, "runas"},
      {"8 6.2 build 9200", {6, 2, 9200, 2}, true, false, "runas"},
      // Minor version 0: "not 7" by the version test, so Vista answers.
      {"10.0", {10, 0, 19045, 2}, false, true, "runas"},
      // What a failing version query leaves behind.
      {"zero-filled", {0, 0, 0, 0}, false, false, "open"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TWinDetect::SetOsVersionSourceForTesting([&c]() { return c.version; });
    EXPECT_EQ(TWinDetect::IsWin7(), c.win7);
    EXPECT_EQ(TWinDetect::IsVista(), c.vista);
    verbs_.clear();
    EXPECT_EQ(RunTool(0), 0);
    ASSERT_EQ(verbs_.size(), 1u);
    EXPECT_EQ(verbs_[0], c.verb);
  }
}

// Without an injected record the tests read the platform's: Wine 8 says
// Windows 7 SP1, so the companion tool is started with "runas"; the Linux
// port reports no Windows version and starts it with "open".
TEST_F(ExecuteAndWaitTest, UsesThePlatformsOwnVersion) {
  const platform::OsVersion v = platform::GetOsVersion();
  if (OnWindows()) {
    EXPECT_EQ(v.major, 6u);
    EXPECT_EQ(v.minor, 1u);
    EXPECT_EQ(v.build, 7601u);
    EXPECT_EQ(v.platformId, 2u);
  } else {
    EXPECT_EQ(v.platformId, 0u);
  }
  EXPECT_EQ(RunTool(0), 0);
  EXPECT_TRUE(ToolHasEnded());
  ASSERT_EQ(verbs_.size(), 1u);
  EXPECT_EQ(verbs_[0], OnWindows() ? "runas" : "open");
}

// A start that the platform refuses returns its error code without a single
// wait slice. The Windows shell first shows its own error box (the request
// does not ask it to keep quiet); a user presses OK there, which xdotool does
// here. The Linux port shows nothing.
TEST_F(ExecuteAndWaitTest, RefusedStartReturnsTheErrorCodeWithoutWaiting) {
  WriteFile(folder_ + "broken.exe", "this is no program");
  struct Case {
    const char* name;
    std::string file;
    std::uint32_t code;  // 0: any code other than 0
  };
  const Case cases[] = {
      {"missing file", folder_ + "missing.exe", 2},
      {"missing folder", dir_ / JoinPath({"nowhere", "tool.exe"}), 0},
      {"not a program", folder_ + "broken.exe", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<UnixScript> user;
    if (OnWindows()) {
      user = std::make_unique<UnixScript>(
          "xdotool search --sync --onlyvisible --name '^Error$' windowfocus --sync %1 key Return",
          30);
      ASSERT_TRUE(user->Started()) << user->StartError();
    }
    slices_ = 0;
    const int code = TUtility::ExecuteAndWait(c.file, "");
    if (c.code != 0) {
      EXPECT_EQ(code, static_cast<int>(c.code));
    } else {
      EXPECT_NE(code, 0);
    }
    EXPECT_EQ(slices_, 0);
    // The caller logs the code with the system's text for it.
    EXPECT_FALSE(TUtility::SysErrorMessage(static_cast<std::uint32_t>(code)).empty())
        << "code " << code;
    if (user) {
      EXPECT_TRUE(user->WaitPumping(30000)) << "the error box is still open";
    }
  }
}

// While the program runs, the GUI is serviced between 50 ms slices: a message
// posted to the splash window in the middle of the wait is handled before
// the program has ended. Each slice really waits, so a second-long program
// takes about twenty slices, not thousands.
TEST_F(ExecuteAndWaitTest, ServicesTheGuiBetweenSlicesThatReallyWait) {
  static bool initialized = false;
  if (!initialized) {
    platform::InitApplication();
    initialized = true;
  }
  constexpr std::uint32_t kPosted = 0x0400 + 77;
  int handled = 0;
  bool handledWhileRunning = false;
  platform::SplashHandlers handlers;
  handlers.onMessage = [&](std::uint32_t msg) {
    if (msg != kPosted) return;
    ++handled;
    handledWhileRunning = !ToolHasEnded();
  };
  platform::SplashWindow window(LoaderSplashForm(), handlers);
  window.Show();
  platform::ProcessMessages();
  onSlice_ = [&]() {
    if (slices_ == 3) window.Post(kPosted);
  };

  const std::uint32_t start = platform::TickCount();
  EXPECT_EQ(RunTool(1000), 0);
  const std::uint32_t elapsed = platform::TickCount() - start;

  EXPECT_EQ(handled, 1);
  EXPECT_TRUE(handledWhileRunning);
  EXPECT_GE(slices_, 3);
  // Generous against a clock that ticks coarsely; a loop that does not wait
  // would count in the thousands.
  EXPECT_LE(slices_, static_cast<int>(elapsed / 25 + 2)) << "elapsed " << elapsed << " ms";
  window.Hide();
}

TEST(SysErrorMessage, TrimsTheSystemsTextAtTheEnd) {
  // The codes a failed start produces on either platform, and one that has
  // no text at all.
  const std::uint32_t codes[] = {2, 3, 5, 193, 1223};
  for (std::uint32_t code : codes) {
    SCOPED_TRACE("code " + std::to_string(code));
    const std::string text = TUtility::SysErrorMessage(code);
    ASSERT_FALSE(text.empty());
    const unsigned char last = static_cast<unsigned char>(text.back());
    EXPECT_GT(last, 32u);
    EXPECT_NE(last, '.');
  }
  EXPECT_EQ(TUtility::SysErrorMessage(0x2FFFFFFFu), "");
  // Inserts are not filled in: the text of 193 keeps its placeholder.
  EXPECT_NE(TUtility::SysErrorMessage(193).find("%1"), std::string::npos);
}

}  // namespace
