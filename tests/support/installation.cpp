#include "support/installation.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/process.h"
#include "platform/shell.h"
#include "platform/sysinfo.h"
#include "support/u_Utility.h"

namespace fs = std::filesystem;

namespace testing_support {

namespace {

void CopyInto(const std::string& from, const std::string& to) {
  std::error_code ec;
  fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
  ASSERT_FALSE(ec) << "cannot copy " << from << " to " << to << ": " << ec.message();
  fs::permissions(to, fs::perms::owner_all, fs::perm_options::add, ec);
}

constexpr std::size_t kPrefixLength = 79;

}  // namespace

Installation::Installation() {
  appDir_ = dir_.path() + "app" + platform::kPathDelim;
  MakeDirs(appDir_);
  const std::string built = BuiltProgram("KestroLoader");
  loader_ = appDir_ + ExtractFileName(built);
  CopyInto(built, loader_);
}

std::string Installation::LoaderFileName() const { return ExtractFileName(loader_); }

std::string Installation::LogPath() const { return ChangeFileExt(loader_, ".log"); }

void Installation::AddMainProgram() { AddFixture("kestrocore_standin", "KestroCore.exe"); }

void Installation::AddFixture(const std::string& fixture, const std::string& name) {
  CopyInto(FixtureProgram(fixture), appDir_ + name);
}

void Installation::AddFile(const std::string& relative, const std::string& content) {
  WriteFile(dir_.path() + relative, content);
}

bool Installation::Run(const std::string& params, const std::string& cwd, std::uint32_t timeoutMs,
                       const std::function<void()>& tick) {
  platform::ShellExecResult r = platform::ShellExecuteProcess(
      "open", loader_, params, cwd.empty() ? appDir_ : cwd, platform::ShowCommand::Normal);
  EXPECT_TRUE(r.ok) << "loader did not start, error " << r.error;
  if (!r.ok || !r.process.IsValid()) return false;
  const std::uint32_t start = platform::TickCount();
  while (r.process.Wait(100) == platform::ProcessHandle::WaitResult::TimedOut) {
    if (tick) tick();
    if (platform::TickCount() - start > timeoutMs) {
      r.process.Terminate();
      ADD_FAILURE() << "loader still running after " << timeoutMs << " ms; killed";
      return false;
    }
  }
  return true;
}

bool Installation::RunAndKillWhen(const std::function<bool()>& when, const std::string& params,
                                  std::uint32_t timeoutMs) {
  platform::ShellExecResult r = platform::ShellExecuteProcess("open", loader_, params, appDir_,
                                                              platform::ShowCommand::Normal);
  EXPECT_TRUE(r.ok) << "loader did not start, error " << r.error;
  if (!r.ok || !r.process.IsValid()) return false;
  const std::uint32_t start = platform::TickCount();
  while (r.process.Wait(100) == platform::ProcessHandle::WaitResult::TimedOut) {
    const bool now = when();
    if (now || platform::TickCount() - start > timeoutMs) {
      r.process.Terminate();
      r.process.Wait(10000);
      EXPECT_TRUE(now) << "the moment to kill the loader did not come in " << timeoutMs << " ms";
      return now;
    }
  }
  ADD_FAILURE() << "the loader ended before the moment to kill it came";
  return false;
}

std::string UnsignedInstallLine() {
  return std::string("Update zonder handtekening ge") + (OnWindows() ? "\xEF" : "\xC3\xAF") +
         "nstalleerd (geen sleutel ingesteld)";
}

std::vector<std::string> Installation::LogLines() const { return SplitCrLf(ReadFile(LogPath())); }

std::vector<std::string> Installation::Messages() const {
  std::vector<std::string> out;
  for (const std::string& line : LogLines()) {
    if (line.compare(0, 8, "Log for ") == 0 || line == std::string(120, '-')) continue;
    out.push_back(line.size() >= kPrefixLength ? line.substr(kPrefixLength) : line);
  }
  return out;
}

std::string Installation::MainProgramRecord() const {
  // The loader does not wait for the main program, so its record may come a
  // moment after the loader has ended.
  const std::string record = appDir_ + "started-KestroCore.exe.txt";
  const std::uint32_t start = platform::TickCount();
  while (platform::TickCount() - start < 10000) {
    if (Exists(record)) {
      platform::SleepMs(200);
      return ReadFile(record);
    }
    platform::SleepMs(50);
  }
  return std::string();
}

}  // namespace testing_support
