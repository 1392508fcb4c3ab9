// The companion-tool updater's tester: status texts and the wait for the
// companion tool to be closed.
#include "companion/u_SarvoChecker.h"

#include <cstdint>

#include "platform/gui.h"
#include "platform/sysinfo.h"
#include "support/u_Utility.h"

namespace {

// Every executable name the companion tool has shipped under, in the order
// in which they are looked for. A running process whose name merely contains
// one of them counts too.
const char* const kCompanionNames[] = {
    "Sarvo2006.exe",
    "Sarvo2009.exe",
    "Sarvo2010.exe",
    "Sarvo.exe",
};

constexpr std::uint32_t kPollIntervalMs = 250;

bool AnyCompanionRunning() {
  for (const char* name : kCompanionNames) {
    if (TUtility::IsProcessRunning(name)) return true;
  }
  return false;
}

}  // namespace

SarvoTesterT::SarvoTesterT(void* /*owner*/) {}

void SarvoTesterT::DoStatus(const std::string& msg) {
  if (OnStatus) OnStatus(this, msg);
}

void SarvoTesterT::WaitForClose() {
  TDebug::Log("Waiting for Sarvo....", "");
  // The first test happens at once, so a companion tool that is not running
  // costs no wait at all. There is no time limit: the user closes the tool.
  while (AnyCompanionRunning()) {
    // The splash window keeps painting and answering while the tool runs.
    platform::ProcessMessages();
    platform::SleepMs(kPollIntervalMs);
  }
  TDebug::Log("Sarvo has been closed", "");
}
