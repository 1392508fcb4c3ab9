// Contract of platform/process.h and shell.h with a real child program, the
// sleeper fixture, which reports its working directory and arguments to a
// file and then sleeps. Every test runs its own copy of the sleeper under a
// unique name, so the process list cannot be confused by other tests that run
// at the same time.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/process.h"
#include "platform/shell.h"
#include "platform/sysinfo.h"
#include "support/testing.h"

namespace {

using platform::ProcessHandle;
using platform::ProcessScope;
using platform::ShellExecResult;
using testing_support::FixtureProgram;
using testing_support::TempDir;

constexpr platform::ShowCommand kShowNormal = platform::ShowCommand::Normal;

std::string BaseName(const std::string& path) {
  const std::size_t p = path.find_last_of(platform::kPathDelims);
  return p == std::string::npos ? path : path.substr(p + 1);
}

bool IsRunning(const std::string& exeName) {
  bool found = false;
  EXPECT_TRUE(platform::ForEachProcessName([&](const std::string& name) {
    found = name == exeName;
    return found;
  }));
  return found;
}

// Polls the process list until `exeName` is (or is no longer) listed; false
// when that did not happen within ten seconds.
bool WaitUntilListed(const std::string& exeName, bool listed) {
  for (int i = 0; i < 1000; ++i) {
    if (IsRunning(exeName) == listed) return true;
    platform::SleepMs(10);
  }
  return false;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

// The Linux port's children that ended but were never reaped (zombies) and
// carry `comm`, from /proc; -1 where there is no /proc to ask.
int ZombieChildren(const std::string& comm) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const std::string self = fs::read_symlink("/proc/self", ec).string();
  if (ec) return -1;
  int count = 0;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string pid = entry.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(entry.path() / "stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t open = stat.find('('), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    std::istringstream rest(stat.substr(close + 1));
    std::string state, ppid;
    rest >> state >> ppid;
    if (state == "Z" && ppid == self && stat.substr(open + 1, close - open - 1) == comm) ++count;
  }
  return count;
}

class PlatformProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    const std::string original = testing_support::FixtureProgram("sleeper");
    std::string suffix;
    const std::size_t dot = BaseName(original).rfind('.');
    if (dot != std::string::npos) suffix = BaseName(original).substr(dot);
    exeName_ = "sleeper_" + std::to_string(rd() % 1000000) + suffix;
    sleeper_ = dir_ / exeName_;
    ASSERT_TRUE(platform::FileCopy(original, sleeper_, true)) << original;
  }

  // Reads the sleeper's report once it has been written (the sleeper renames
  // it into place complete).
  std::vector<std::string> Report(const std::string& file) {
    for (int i = 0; i < 1000 && !platform::FileExists(file); ++i) platform::SleepMs(10);
    return Lines(testing_support::ReadFile(file));
  }

  TempDir dir_;
  std::string exeName_;
  std::string sleeper_;
};

TEST_F(PlatformProcess, StartWaitAndProcessList) {
  TempDir work;
  const std::string report = dir_ / "report.txt";
  auto r = platform::ShellExecuteProcess("open", sleeper_, "1500 \"" + report + "\"", work.path(),
                                         kShowNormal);
  ASSERT_TRUE(r.ok) << "error " << r.error;
  ASSERT_TRUE(r.process.IsValid());

  EXPECT_TRUE(WaitUntilListed(exeName_, true)) << exeName_ << " never showed in the process list";
  EXPECT_EQ(r.process.Wait(20), ProcessHandle::WaitResult::TimedOut);
  // A running program's file cannot be overwritten (an update must wait).
  testing_support::WriteFile(dir_ / "other.bin", "not a program");
  platform::Failure err = platform::Failure::None;
  EXPECT_FALSE(platform::FileCopy(dir_ / "other.bin", sleeper_, false, &err));
  EXPECT_EQ(err, platform::Failure::SharingViolation);
  EXPECT_EQ(r.process.Wait(30000), ProcessHandle::WaitResult::Ended);
  // An ended process stays ended.
  EXPECT_EQ(r.process.Wait(0), ProcessHandle::WaitResult::Ended);
  EXPECT_FALSE(IsRunning(exeName_));

  const auto lines = Report(report);
  ASSERT_GE(lines.size(), 1u);
  std::string cwd = lines[0];
  std::string expected = work.path();
  while (!cwd.empty() && cwd.back() == platform::kPathDelim) cwd.pop_back();
  while (!expected.empty() && expected.back() == platform::kPathDelim) expected.pop_back();
  EXPECT_EQ(cwd, expected) << "the working directory was not the one asked for";
}

TEST_F(PlatformProcess, ParametersAreSplitByTheWindowsRules) {
  const std::string report = dir_ / "args.txt";
  const std::string params = "0 \"" + report + "\" /AUTO \"two words\" plain\\path  \"\" /INIT";
  auto r = platform::ShellExecuteProcess("runas", sleeper_, params, "", kShowNormal);
  ASSERT_TRUE(r.ok) << "error " << r.error;
  ASSERT_TRUE(r.process.IsValid());
  EXPECT_EQ(r.process.Wait(30000), ProcessHandle::WaitResult::Ended);
  const auto lines = Report(report);
  ASSERT_GE(lines.size(), 1u);
  const std::vector<std::string> args(lines.begin() + 1, lines.end());
  // The C runtime skips an argument written as "".
  EXPECT_EQ(args,
            (std::vector<std::string>{"0", report, "/AUTO", "two words", "plain\\path", "/INIT"}));
}

TEST_F(PlatformProcess, AnEndedChildLeavesTheListEvenBeforeItIsWaitedFor) {
  // A child that has ended but was not waited for yet is not running.
  auto r = platform::ShellExecuteProcess("open", sleeper_, "100", "", kShowNormal);
  ASSERT_TRUE(r.ok) << "error " << r.error;
  EXPECT_TRUE(WaitUntilListed(exeName_, false)) << exeName_ << " still listed after it ended";
  EXPECT_EQ(r.process.Wait(30000), ProcessHandle::WaitResult::Ended);
}

TEST_F(PlatformProcess, ShellStartRunsWithoutLeavingAnything) {
  // Started programs are nobody's to wait for; once they end they must be
  // gone from the process list, however many were started.
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE("start " + std::to_string(i));
    EXPECT_GT(platform::ShellStart(sleeper_, kShowNormal), 32);
  }
  EXPECT_TRUE(WaitUntilListed(exeName_, false)) << exeName_ << " still listed after it ended";
  if (testing_support::OnWindows()) return;
  // On the Linux port an ended child must also have been reaped.
  int zombies = -1;
  for (int i = 0; i < 500 && zombies != 0; ++i) {
    zombies = ZombieChildren(exeName_.substr(0, 15));
    if (zombies != 0) platform::SleepMs(10);
  }
  EXPECT_EQ(zombies, 0) << "started programs were left as zombies";
}

TEST_F(PlatformProcess, RefusedStarts) {
  // The Windows shell answers a file it cannot find with an error box of its
  // own, which would wait for a click here.
  if (testing_support::OnWindows()) GTEST_SKIP() << "the Windows shell shows its own error box";
  struct Case {
    const char* name;
    std::string file;
    std::uint32_t code;
  };
  const Case cases[] = {
      {"missing file", dir_ / "no_such_program.exe", 2},
      {"missing folder", dir_ / ("no_such_folder" + std::string(1, platform::kPathDelim) + "x.exe"),
       3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(platform::ShellStart(c.file, kShowNormal), static_cast<int>(c.code));
    auto r = platform::ShellExecuteProcess("open", c.file, "", "", kShowNormal);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(platform::CodeOf(r.error), c.code);
    EXPECT_FALSE(r.process.IsValid());
  }
}

TEST_F(PlatformProcess, AFileWithoutExecuteBitIsRefused) {
  if (testing_support::OnWindows())
    GTEST_SKIP() << "Windows starts data files with their application";
  const std::string data = dir_ / "data_file";
  testing_support::WriteFile(data, "#!/bin/sh\nexit 0\n");
  EXPECT_EQ(platform::ShellStart(data, kShowNormal), 5);
  auto r = platform::ShellExecuteProcess("open", data, "", "", kShowNormal);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, platform::Failure::AccessDenied);
}

// How a child ended and what it wrote to its standard error: a normal end,
// a program its system cannot load, and one that crashes at once.
TEST(PlatformProcessEnd, TellsHowTheChildEndedAndKeepsTheHeadOfItsErrorOutput) {
  using Kind = platform::ProcessEnd::Kind;
  const bool windows = testing_support::OnWindows();
  TempDir dir;
  const std::string crasher = dir / ("crasher" + std::string(KESTRO_EXE_SUFFIX));
  testing_support::WriteFile(
      crasher, testing_support::ReadFile(FixtureProgram("sarvo_standin")) + "standin:crash");
  std::filesystem::permissions(crasher, std::filesystem::perms::owner_exec,
                               std::filesystem::perm_options::add);
  struct Case {
    const char* name;
    std::string program;
    std::string params;
    Kind kind;
    std::uint32_t code;
    const char* errorOutput;  // a text the head must hold, "" for an empty head
  };
  const Case cases[] = {
      {"ends normally", FixtureProgram("sleeper"), "0", Kind::ExitCode, 0, ""},
      {"needs a library that is not there", FixtureProgram("needs_missing_library"), "",
       Kind::ExitCode, windows ? 0xC0000135u : 127u,
       windows ? "" : "error while loading shared libraries: libkestro_gone.so"},
      {"crashes at once", crasher, "", windows ? Kind::ExitCode : Kind::Signal,
       windows ? 0xC0000005u : 11u, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ShellExecResult r =
        platform::ShellExecuteProcess("open", c.program, c.params, dir.path(), kShowNormal, true);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.process.End().kind, Kind::Unknown) << "an end before any wait";
    ASSERT_EQ(r.process.Wait(60000), ProcessHandle::WaitResult::Ended);
    const platform::ProcessEnd end = r.process.End();
    EXPECT_EQ(end.kind, c.kind);
    EXPECT_EQ(end.code, c.code);
    const std::string head = r.process.ErrorOutputHead();
    if (*c.errorOutput == '\0') {
      EXPECT_EQ(head, "");
    } else {
      EXPECT_NE(head.find(c.errorOutput), std::string::npos) << head;
    }
    std::string why;
    EXPECT_EQ(platform::EndedAsUnstartable(end, head, why), c.code != 0) << why;
  }
}

TEST(PlatformProcessHandle, AnEmptyHandleCannotBeWaitedOn) {
  ProcessHandle h;
  EXPECT_FALSE(h.IsValid());
  EXPECT_EQ(h.Wait(10), ProcessHandle::WaitResult::Failed);
}

TEST(PlatformProcessList, ListsThisTestProgram) {
  EXPECT_TRUE(IsRunning(BaseName(platform::ModuleFileName())));
  EXPECT_FALSE(IsRunning("no_such_process_name_anywhere.exe"));
}

// Processes that end while the list is read are skipped, in either scope:
// the listing never fails or raises because of them. A thread keeps
// starting programs that end at once while the list is read over and over.
TEST(PlatformProcessList, ProcessesEndingDuringTheListingAreSkipped) {
  std::atomic<bool> stop{false};
  std::atomic<int> started{0};
  std::thread churn([&] {
    while (!stop) {
      ShellExecResult r = platform::ShellExecuteProcess("open", FixtureProgram("sleeper"), "0", "",
                                                        platform::ShowCommand::Hidden);
      if (!r.ok) continue;
      ++started;
      r.process.Wait(5000);
    }
  });
  const std::string self = BaseName(platform::ModuleFileName());
  const std::uint32_t begin = platform::TickCount();
  int listings = 0;
  bool allListed = true;
  bool selfAlwaysSeen = true;
  try {
    while (platform::TickCount() - begin < 3000) {
      for (ProcessScope scope : {ProcessScope::AllSessions, ProcessScope::CallerSession}) {
        bool seen = false;
        allListed = platform::ForEachProcessName(
                        [&](const std::string& exe) {
                          seen = seen || exe == self;
                          return false;
                        },
                        scope) &&
                    allListed;
        selfAlwaysSeen = selfAlwaysSeen && seen;
        ++listings;
      }
    }
  } catch (const std::exception& e) {
    ADD_FAILURE() << "the listing raised: " << e.what();
  }
  stop = true;
  churn.join();
  EXPECT_TRUE(allListed);
  EXPECT_TRUE(selfAlwaysSeen) << "this program went missing from a listing";
  EXPECT_GT(started.load(), 0) << "no program was started meanwhile";
  EXPECT_GT(listings, 0);
}

}  // namespace
