// The splash window and the start-up sequence it drives.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/gui.h"

class InternetTesterT;
class TIdAntiFreeze;

// The private start message, posted by the window to itself once it exists.
constexpr std::uint32_t WM_START = platform::kFirstPrivateMessage + 150;

class TfrmMain {
 public:
  TfrmMain();
  ~TfrmMain();
  TfrmMain(const TfrmMain&) = delete;
  TfrmMain& operator=(const TfrmMain&) = delete;

  // Handlers.
  void FormCreate();
  void WMStart();
  void imgLogoDblClick();
  void btnExitClick();
  // The companion updater's status handler: shows Msg on the status line.
  void SarvoStatus(const void* sender, const std::string& msg);

  void StartMainProgram();
  void UpdateSarvo();
  static std::string GetProductName();

  platform::SplashWindow& View() { return *view_; }

 private:
  void OnMessage(std::uint32_t msg);
  void OnlinePhase();
  void ReportError(const std::string& message, const std::string& className);

  std::unique_ptr<platform::SplashWindow> view_;
  // The HTTP layer's anti-freeze: created on the GUI thread with the window.
  std::unique_ptr<TIdAntiFreeze> IdAntiFreeze;
  bool FOnline = false;
  std::unique_ptr<InternetTesterT> FInternetTester;
};
