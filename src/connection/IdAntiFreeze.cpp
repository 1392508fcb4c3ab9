// The process's one anti-freeze and the lookup the HTTP client makes before
// each call.
#include "connection/IdAntiFreeze.h"

#include <mutex>

#include "platform/gui.h"

namespace {

std::mutex gCurrentMutex;
// guards: gCurrent
TIdAntiFreeze* gCurrent = nullptr;

// The process's anti-freeze when the calling thread is its GUI thread and it
// is active, else null. Only the GUI thread itself can destroy that object,
// so the pointer stays good for the caller's use on that same thread.
TIdAntiFreeze* CurrentForThisThread() {
  std::lock_guard<std::mutex> lock(gCurrentMutex);
  if (gCurrent == nullptr || gCurrent->GuiThread() != std::this_thread::get_id()) return nullptr;
  return gCurrent->Active() ? gCurrent : nullptr;
}

}  // namespace

TIdAntiFreeze::TIdAntiFreeze() : guiThread_(std::this_thread::get_id()) {
  std::lock_guard<std::mutex> lock(gCurrentMutex);
  gCurrent = this;
}

TIdAntiFreeze::~TIdAntiFreeze() {
  std::lock_guard<std::mutex> lock(gCurrentMutex);
  if (gCurrent == this) gCurrent = nullptr;
}

bool TIdAntiFreeze::Active() const { return active_.load(); }
void TIdAntiFreeze::SetActive(bool active) { active_.store(active); }
std::uint32_t TIdAntiFreeze::IdleTimeOut() const { return idleTimeOut_.load(); }
void TIdAntiFreeze::SetIdleTimeOut(std::uint32_t ms) { idleTimeOut_.store(ms); }

void TIdAntiFreeze::Process() { platform::ProcessMessages(); }

std::uint32_t TIdAntiFreeze::IdleTimeOutForThisThread() {
  TIdAntiFreeze* af = CurrentForThisThread();
  if (af == nullptr) return 0;
  // A time-out of 0 would make the wait spin; 1 ms is the shortest slice.
  std::uint32_t ms = af->IdleTimeOut();
  return ms == 0 ? 1 : ms;
}

bool TIdAntiFreeze::DoProcess() {
  // Process runs outside the lock: the handlers it dispatches may make HTTP
  // calls of their own, which look the anti-freeze up again.
  TIdAntiFreeze* af = CurrentForThisThread();
  if (af == nullptr) return false;
  af->Process();
  return true;
}
