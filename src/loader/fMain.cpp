// The splash window and the start-up sequence it drives: it posts itself the
// start message, and the handler of that message runs everything the loader
// does on the GUI thread, inside one error trap, then closes the window.
#include "loader/fMain.h"

#include <vector>

#include "companion/u_SarvoChecker.h"
#include "connection/IdAntiFreeze.h"
#include "connection/UpdatePolicy.h"
#include "connection/u_InternetTester.h"
#include "loader/SplashForm.h"
#include "platform/files.h"
#include "platform/gui.h"
#include "support/DatabaseConnectie.h"
#include "support/Exceptions.h"
#include "support/Format.h"
#include "support/debug_log.h"
#include "support/path_text.h"
#include "support/u_Utility.h"

namespace {

const char kMainProgram[] = "KestroCore.exe";
const char kErrorTitle[] = "Fout bij uitvoeren!";
// The box must not hide behind the splash window, which may still be on top.
constexpr platform::MessageBoxStyle kErrorBoxStyle{platform::MessageBoxIcon::Error,
                                                   /*foreground=*/true, /*topmost=*/true};

// The product name is cosmetic: whatever goes wrong while it is looked for
// or read, the default is used and the start goes on.
const char kDefaultProductName[] = "Kestro";
constexpr std::size_t kMaxNameFile = 64 * 1024;

}  // namespace

TfrmMain::TfrmMain() {
  platform::SplashHandlers handlers;
  handlers.onMessage = [this](std::uint32_t msg) { OnMessage(msg); };
  handlers.onLogoDblClick = [this] { imgLogoDblClick(); };
  handlers.onExitClick = [this] { btnExitClick(); };
  view_ = std::make_unique<platform::SplashWindow>(LoaderSplashForm(), std::move(handlers));
  IdAntiFreeze = std::make_unique<TIdAntiFreeze>();
  // An error while the window is being set up goes to the framework's error
  // display; the rest of the set-up is then skipped and the window stays idle
  // until the user closes it.
  try {
    FormCreate();
  } catch (const std::exception& e) {
    platform::ShowFrameworkError(e.what());
  }
  view_->Show();
}

TfrmMain::~TfrmMain() = default;

void TfrmMain::FormCreate() {
  FOnline = false;
  const std::string name = GetProductName();
  view_->SetCaption(name);
  view_->SetText(platform::SplashWindow::Label::Loading, LoadingText(name));
  view_->Post(WM_START);
}

void TfrmMain::OnMessage(std::uint32_t msg) {
  if (msg == WM_START) WMStart();
}

void TfrmMain::WMStart() {
  try {
    OnlinePhase();
    if (!platform::FileExists(TUtility::AppPath() + kMainProgram)) {
      throw Exception(Format("Kan %s niet vinden!", {kMainProgram}));
    }
    view_->Hide();
    platform::ProcessMessages();
    try {
      StartMainProgram();
    } catch (...) {
      TDebug::Log("Loader is afgesloten", "");
      throw;
    }
    TDebug::Log("Loader is afgesloten", "");
  } catch (const std::exception& e) {
    const ExceptionDescription d = Describe(e);
    ReportError(d.message, d.className);
  }
  view_->Close();
}

void TfrmMain::ReportError(const std::string& message, const std::string& className) {
  TDebug::LogFmt("Melding: %s (%s)", {message, className}, "");
  platform::ShowMessageBox("Melding: " + message + " (" + className + ")", kErrorTitle,
                           kErrorBoxStyle);
  view_->ShowExitButton();
}

void TfrmMain::OnlinePhase() {
  // 1. The connection test, unless a marker file in the working directory or
  // the switch turns it off (the file is looked at first).
  std::string reason;
  if (!platform::FileExists("noconnectiontest.ini") && !TUtility::ParamExists("noconnectiontest")) {
    FInternetTester = std::make_unique<InternetTesterT>();
    reason = "onbekend";
    const InternetTesterT::Outcome r = FInternetTester->TestConnection();
    if (r == InternetTesterT::kNotReachable)
      reason = "Webserver niet beschikbaar";
    else if (r == InternetTesterT::kTimedOut)
      reason = "Timeout!";
    else if (r == InternetTesterT::kOnline)
      reason = "U bent online!";
    FOnline = (r == InternetTesterT::kOnline);
    view_->SetText(platform::SplashWindow::Label::Test, reason);
  }

  // 2. The update decision.
  if (FOnline) {
    // The administrator's policy counts as the switch, and says so first.
    const UpdatePolicy policy = ReadUpdatePolicy();
    if (!policy.unreadable.empty()) {
      TDebug::LogFmt("Beleid voor updates kon niet worden gelezen: %s", {policy.unreadable}, "");
    }
    const bool byPolicy = policy.disableUpdate;
    if (byPolicy) TDebug::Log("Update uitgeschakeld door beleid", "");
    if (byPolicy || platform::FileExists(TUtility::AppPath() + "NoUpdate.txt") ||
        TUtility::ParamExists("noupdate")) {
      TDebug::Log("Update wordt overgeslagen", "");
    } else if (!platform::FileExists(TUtility::AppPath() + "NoSarvoUpdate.txt")) {
      UpdateSarvo();
    }
  } else {
    TDebug::Log("Er is momenteel geen internet verbinding beschikbaar, reden: [" + reason + "]",
                "");
  }
}

void TfrmMain::StartMainProgram() {
  const std::string name = GetProductName();
  const std::string program = TUtility::AppPath() + kMainProgram;
  const std::string version = TUtility::ReadFileVersion(program);
  TDebug::Log(name + " v" + version + " wordt gestart", "");
  // Started by its full path: the file just tested for is the one that runs,
  // whatever the working directory holds. The log keeps the bare name.
  const int r = TUtility::ShellStart(program, platform::ShowCommand::Show);
  TDebug::LogFmt("Resultcode %d from \"%s\" ", {r, kMainProgram}, "");
}

void TfrmMain::imgLogoDblClick() { view_->ShowExitButton(); }

void TfrmMain::btnExitClick() { view_->Close(); }

void TfrmMain::SarvoStatus(const void* /*sender*/, const std::string& msg) {
  view_->SetText(platform::SplashWindow::Label::Status, msg);
  platform::ProcessMessages();
}

void TfrmMain::UpdateSarvo() {
  // The tester lives for this call only; unique_ptr frees it on errors too.
  auto tester = std::make_unique<SarvoTesterT>(this);
  tester->OnStatus = [this](const void* sender, const std::string& msg) {
    SarvoStatus(sender, msg);
  };
  tester->UpdateAndStart();
}

std::string TfrmMain::GetProductName() {
  std::string dataMap;
  try {
    dataMap = GetDataMapPath();
  } catch (const std::exception& e) {
    const ExceptionDescription d = Describe(e);
    if (d.loaderError) {
      TDebug::LogFmt("Productnaam niet bepaald: %s (%s); \"%s\" wordt gebruikt",
                     {d.message, d.className, kDefaultProductName}, "");
    } else {
      TDebug::LogFmt("Productnaam niet bepaald: %s; \"%s\" wordt gebruikt",
                     {d.message, kDefaultProductName}, "");
    }
    return kDefaultProductName;
  }
  const char d = platform::kPathDelim;
  const std::string path =
      TUtility::CanonicalizePath(dataMap + ".." + d + "layout" + d + "Special" + d + "logo.txt");
  std::string name;
  const platform::SmallFileFailure failure = platform::ReadSmallFile(path, kMaxNameFile, name);
  if (failure == platform::SmallFileFailure::NotFound) return kDefaultProductName;
  if (failure != platform::SmallFileFailure::None) {
    TDebug::LogFmt("Productnaam niet gelezen uit \"%s\": %s; \"%s\" wordt gebruikt",
                   {path, SmallFileFailureText(failure, kMaxNameFile), kDefaultProductName}, "");
    return kDefaultProductName;
  }
  return TrimControl(name);
}
