#include "support/xdotool.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <utility>

#include "platform/gui.h"
#include "platform/shell.h"
#include "platform/sysinfo.h"

namespace testing_support {
namespace {

constexpr platform::ShowCommand kShowHidden = platform::ShowCommand::Hidden;

bool ReadWholeFile(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  out = text.str();
  return true;
}

// Written in binary mode: a Windows text-mode stream would end the lines with
// CR LF, which sh reads as part of the commands.
bool WriteWholeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

// Unique per process and per call, so tests running in parallel in the same
// working directory never share a file.
std::string UniqueBaseName() {
  static std::atomic<unsigned> counter{0};
  std::ostringstream name;
  name << "kestro-unix-" << platform::CurrentThreadId() << '-' << platform::TickCount() << '-'
       << counter++;
  return name.str();
}

}  // namespace

std::string ShellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

std::string ExactTitlePattern(const std::string& title) {
  std::string out = "^";
  for (char c : title) {
    if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) out += '\\';
    out += c;
  }
  return out + "$";
}

UnixScript::UnixScript(const std::string& script, int limitSeconds) : base_(UniqueBaseName()) {
  const std::string body = base_ + ".sh";
  const std::string runner = base_ + "-run.sh";
  const std::string rc = base_ + ".rc";
  // The exit code appears under its final name in one step, so the test never
  // reads a half-written file.
  std::ostringstream wrapper;
  wrapper << "timeout -k 2 " << limitSeconds << " /bin/sh " << ShellQuote(body) << " >"
          << ShellQuote(base_ + ".out") << " 2>&1\n"
          << "echo $? >" << ShellQuote(rc + ".tmp") << "\n"
          << "mv " << ShellQuote(rc + ".tmp") << ' ' << ShellQuote(rc) << "\n";
  if (!WriteWholeFile(body, script + "\n") || !WriteWholeFile(runner, wrapper.str())) {
    startError_ = "cannot write " + runner + " in the working directory";
    return;
  }
  platform::ShellExecResult r =
      platform::ShellExecuteProcess("open", "/bin/sh", runner, "", kShowHidden);
  if (!r.ok) {
    startError_ = "cannot start /bin/sh, error " + std::to_string(platform::CodeOf(r.error));
    return;
  }
  started_ = true;
  process_ = std::move(r.process);
}

UnixScript::~UnixScript() {
  // A script that is still at work would act on the next test's windows; it
  // ends by itself within its time limit.
  if (started_ && !finished_) WaitPumping(60 * 1000);
  for (const char* suffix : {".sh", "-run.sh", ".out", ".rc", ".rc.tmp"}) {
    std::remove((base_ + suffix).c_str());
  }
}

bool UnixScript::Poll() {
  if (finished_) return true;
  if (!started_) return false;
  std::string rc;
  if (!ReadWholeFile(base_ + ".rc", rc) || rc.empty()) return false;
  finished_ = true;
  exitCode_ = std::atoi(rc.c_str());
  ReadWholeFile(base_ + ".out", output_);
  // The Linux port hands out a handle on the shell; waiting on it reaps it.
  if (process_.IsValid()) process_.Wait(5000);
  return true;
}

bool UnixScript::WaitPumping(std::uint32_t timeoutMs) {
  return PumpUntil([this] { return Poll(); }, timeoutMs);
}

void PumpFor(std::uint32_t ms) {
  PumpUntil([] { return false; }, ms);
}

bool PumpUntil(const std::function<bool()>& done, std::uint32_t timeoutMs) {
  const std::uint32_t start = platform::TickCount();
  for (;;) {
    platform::ProcessMessages();
    if (done()) return true;
    if (platform::TickCount() - start >= timeoutMs) return false;
    platform::SleepMs(5);
  }
}

}  // namespace testing_support
