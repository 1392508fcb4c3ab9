// Contract of the GUI service, run against FLTK on the Linux port and against
// the real Win32 API under Wine, both in a private Xvfb display. Mouse clicks,
// key presses and screenshots come from real X tools (xdotool, xwd, convert)
// in a shell script beside the test, while the test keeps handling its GUI
// messages as the loader does while it waits.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "loader/SplashForm.h"
#include "platform/gui.h"
#include "platform/sysinfo.h"
#include "support/xdotool.h"

namespace {

using platform::SplashHandlers;
using platform::SplashWindow;
using Label = SplashWindow::Label;
using testing_support::ExactTitlePattern;
using testing_support::PumpFor;
using testing_support::PumpUntil;
using testing_support::ShellQuote;
using testing_support::UnixScript;

constexpr std::uint32_t kWmUser = 1024;
constexpr std::uint32_t kWmStart = kWmUser + 150;
constexpr platform::MessageBoxStyle kErrorBoxStyle{platform::MessageBoxIcon::Error,
                                                   /*foreground=*/true, /*topmost=*/true};
constexpr int kClientWidth = 365;
constexpr int kClientHeight = 95;

const char kLoadingText[] = "Een ogenblik geduld, Kestro wordt geladen...";
const char kStatusText[] =
    "Een moment geduld a.u.b., er worden nieuwe applicatie onderdelen gedownload.";

class Gui : public ::testing::Test {
 protected:
  void SetUp() override { platform::InitApplication(); }
  // Nothing a test left queued reaches the next one.
  void TearDown() override { platform::ProcessMessages(); }
};

// Finds the splash window by its caption, waiting until it is mapped.
std::string FindSplash() {
  return "id=$(xdotool search --sync --onlyvisible --name " +
         ShellQuote(ExactTitlePattern("Kestro Loader")) + " | head -n1)\n";
}

// A script that waits for a window titled `title`, dismisses it with the
// Return key and checks that it has gone. Should Return not dismiss it, the
// box is taken away another way, so the test fails instead of hanging.
std::string DismissBoxWithReturn(const std::string& title) {
  const std::string pattern = ShellQuote(ExactTitlePattern(title));
  return "gone() { ! xdotool search --onlyvisible --name " + pattern + " >/dev/null 2>&1; }\n" +
         "id=$(xdotool search --sync --onlyvisible --name " + pattern + " | head -n1)\n" +
         "sleep 0.3\n"
         "xdotool windowfocus --sync \"$id\" key Return\n"
         "for i in $(seq 50); do gone && exit 0; sleep 0.1; done\n"
         "echo 'Return did not dismiss the box'\n"
         "xdotool windowfocus \"$id\" key Escape; sleep 1; gone && exit 2\n"
         "xdotool windowclose \"$id\"; exit 3\n";
}

// ---------------------------------------------------------------------------
// Texts

TEST_F(Gui, WindowStartsWithItsCreationTexts) {
  SplashWindow w(LoaderSplashForm(), {});
  EXPECT_EQ(w.Caption(), "Kestro Loader");
  const struct {
    const char* name;
    Label label;
    const char* text;
  } cases[] = {
      {"lblLoading", Label::Loading, kLoadingText},
      {"Label1", Label::Label1, "Internet beschikbaarheid: "},
      {"lblTest", Label::Test, "..."},
      {"lblStatus", Label::Status, kStatusText},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(w.Text(c.label), c.text);
  }
  EXPECT_FALSE(w.IsVisible()) << "the window is created hidden";
  EXPECT_FALSE(w.ExitButtonVisible()) << "the exit button is hidden at creation";
}

TEST_F(Gui, TextsReadBackAsSetWhileTheWindowIsPainted) {
  SplashWindow w(LoaderSplashForm(), {});
  w.Show();
  const std::string samples[] = {
      "U bent online!",
      "",  // an empty status message empties the line
      "Gegevens & instellingen @ 100% (a\tb)",
      std::string(400, 'w'),  // far wider than any label
      "Een ogenblik geduld,  wordt geladen...",
  };
  const struct {
    const char* name;
    Label label;
  } labels[] = {{"lblLoading", Label::Loading},
                {"Label1", Label::Label1},
                {"lblTest", Label::Test},
                {"lblStatus", Label::Status}};
  for (const auto& l : labels) {
    for (const std::string& text : samples) {
      SCOPED_TRACE(std::string(l.name) + " <- \"" + text.substr(0, 40) + "\"");
      const std::string before[] = {w.Text(Label::Loading), w.Text(Label::Label1),
                                    w.Text(Label::Test), w.Text(Label::Status)};
      w.SetText(l.label, text);
      platform::ProcessMessages();  // paints the new text
      EXPECT_EQ(w.Text(l.label), text);
      for (const auto& other : labels) {
        if (other.label != l.label) {
          EXPECT_EQ(w.Text(other.label), before[static_cast<int>(other.label)])
              << other.name << " changed too";
        }
      }
    }
  }
  for (const std::string& caption : {std::string("Kestro"), std::string(""),
                                     std::string("Kestro & co"), std::string(200, 'K')}) {
    SCOPED_TRACE("caption \"" + caption.substr(0, 40) + "\"");
    w.SetCaption(caption);
    EXPECT_EQ(w.Caption(), caption);
  }
}

TEST_F(Gui, ShowAndHide) {
  SplashWindow w(LoaderSplashForm(), {});
  w.Show();
  platform::ProcessMessages();
  EXPECT_TRUE(w.IsVisible());
  w.Hide();
  platform::ProcessMessages();
  EXPECT_FALSE(w.IsVisible());
  w.Show();
  EXPECT_TRUE(w.IsVisible());
}

// ---------------------------------------------------------------------------
// Posted messages

TEST_F(Gui, PostedMessagesWaitForProcessMessagesAndKeepTheirOrder) {
  std::vector<std::uint32_t> got;
  SplashWindow w(LoaderSplashForm(),
                 {[&](std::uint32_t m) { got.push_back(m); }, nullptr, nullptr});
  const std::vector<std::uint32_t> posted = {kWmStart, kWmUser, 0x7FFF, 0x8000, 0xBFFF, kWmStart};
  for (std::uint32_t m : posted) w.Post(m);
  EXPECT_TRUE(got.empty()) << "a posted message was delivered synchronously";
  platform::ProcessMessages();
  EXPECT_EQ(got, posted);
  platform::ProcessMessages();
  EXPECT_EQ(got.size(), posted.size()) << "a message was delivered twice";
}

TEST_F(Gui, SystemMessageNumbersAreNotPosted) {
  std::vector<std::uint32_t> got;
  SplashWindow w(LoaderSplashForm(),
                 {[&](std::uint32_t m) { got.push_back(m); }, nullptr, nullptr});
  // Below WM_USER are the system's messages, from 0xC000 on the registered
  // ones; neither may reach the caller's handler as its own.
  for (std::uint32_t m : {0u, 15u, kWmUser - 1, 0xC000u, 0xFFFFFFFFu}) w.Post(m);
  w.Post(kWmStart);
  platform::ProcessMessages();
  EXPECT_EQ(got, std::vector<std::uint32_t>{kWmStart});
}

TEST_F(Gui, MessagesPostedByAWorkerArriveOnTheGuiThreadInOrder) {
  const std::uint32_t guiThread = platform::CurrentThreadId();
  std::vector<std::uint32_t> got;
  std::vector<std::uint32_t> threads;
  SplashWindow w(LoaderSplashForm(), {[&](std::uint32_t m) {
                                        got.push_back(m);
                                        threads.push_back(platform::CurrentThreadId());
                                      },
                                      nullptr, nullptr});
  std::vector<std::uint32_t> posted;
  for (std::uint32_t i = 0; i < 50; ++i) posted.push_back(kWmUser + i);
  std::thread worker([&] {
    for (std::uint32_t m : posted) w.Post(m);
  });
  worker.join();
  EXPECT_TRUE(got.empty());
  PumpUntil([&] { return got.size() >= posted.size(); }, 5000);
  EXPECT_EQ(got, posted);
  for (std::uint32_t t : threads) EXPECT_EQ(t, guiThread);
}

// The start-up sequence is one long handler that keeps processing messages
// while it waits; what is posted meanwhile is handled inside it.
TEST_F(Gui, AHandlerThatProcessesMessagesReceivesTheNextPostedMessage) {
  std::vector<std::string> events;
  SplashWindow* window = nullptr;
  SplashWindow w(LoaderSplashForm(),
                 {[&](std::uint32_t m) {
                    if (m == kWmStart) {
                      events.push_back("start begins");
                      window->Post(kWmStart + 1);
                      platform::ProcessMessages();
                      events.push_back("start ends");
                    } else {
                      events.push_back("message " + std::to_string(m - kWmStart));
                    }
                  },
                  nullptr, nullptr});
  window = &w;
  w.Post(kWmStart);
  platform::ProcessMessages();
  EXPECT_EQ(events, (std::vector<std::string>{"start begins", "message 1", "start ends"}));
}

// ---------------------------------------------------------------------------
// Closing

TEST_F(Gui, CloseInAHandlerEndsTheLoopOnlyAfterTheHandlerReturns) {
  std::vector<std::string> events;
  SplashWindow* window = nullptr;
  SplashWindow w(LoaderSplashForm(),
                 {[&](std::uint32_t m) {
                    events.push_back("start");
                    window->Close();
                    events.push_back(platform::Terminated() ? "terminated" : "not terminated");
                    // The sequence goes on after Close: it still waits and
                    // still uses the window.
                    platform::ProcessMessages();
                    window->SetText(Label::Status, "na sluiten");
                    window->Hide();
                    events.push_back("handler ends");
                  },
                  nullptr, nullptr});
  window = &w;
  EXPECT_FALSE(platform::Terminated());
  w.Show();
  w.Post(kWmStart);
  platform::RunMessageLoop();  // must return once the handler has returned
  EXPECT_EQ(events, (std::vector<std::string>{"start", "terminated", "handler ends"}));
  EXPECT_TRUE(platform::Terminated());
  // The window was not destroyed by Close.
  EXPECT_EQ(w.Text(Label::Status), "na sluiten");
  EXPECT_EQ(w.Caption(), "Kestro Loader");
  w.Show();
  EXPECT_TRUE(w.IsVisible());
}

TEST_F(Gui, CloseOutsideTheLoopMakesTheLoopReturnAtOnce) {
  SplashWindow w(LoaderSplashForm(), {});
  w.Show();
  w.Close();
  EXPECT_TRUE(platform::Terminated());
  platform::ProcessMessages();  // sees the quit request; stays terminated
  EXPECT_TRUE(platform::Terminated());
  platform::RunMessageLoop();
  EXPECT_TRUE(platform::Terminated());
  EXPECT_TRUE(w.IsVisible());
}

// ---------------------------------------------------------------------------
// Handler errors

TEST_F(Gui, AnErrorInAHandlerIsShownAndTheLoopGoesOn) {
  std::vector<std::uint32_t> got;
  SplashWindow w(LoaderSplashForm(), {[&](std::uint32_t m) {
                                        got.push_back(m);
                                        if (m == kWmStart) throw std::runtime_error("kapot");
                                      },
                                      nullptr, nullptr});
  w.Show();
  // The framework's error display is a box titled after the program.
  UnixScript dismiss(DismissBoxWithReturn("KestroLoader"));
  ASSERT_TRUE(dismiss.Started()) << dismiss.StartError();
  w.Post(kWmStart);
  w.Post(kWmStart + 1);
  PumpUntil([&] { return got.size() == 2; }, 30000);
  EXPECT_EQ(got, (std::vector<std::uint32_t>{kWmStart, kWmStart + 1}));
  ASSERT_TRUE(dismiss.WaitPumping(30000));
  EXPECT_EQ(dismiss.ExitCode(), 0) << dismiss.Output();
}

// ---------------------------------------------------------------------------
// Message boxes

TEST_F(Gui, MessageBoxIsFoundByItsTitleAndDismissedWithReturn) {
  const struct {
    const char* name;
    const char* title;
    std::function<int()> show;
  } cases[] = {
      {"error box of the sequence", "Fout bij uitvoeren!",
       [] {
         return platform::ShowMessageBox("Melding: Kan KestroCore.exe niet vinden! (Exception)",
                                         "Fout bij uitvoeren!", kErrorBoxStyle);
       }},
      {"framework error display", "KestroLoader",
       [] {
         platform::ShowFrameworkError("Het bestand kan niet worden gelezen");
         return 1;
       }},
  };
  SplashWindow w(LoaderSplashForm(), {});
  w.Show();  // the sequence shows its box while the splash is visible
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UnixScript dismiss(DismissBoxWithReturn(c.title));
    ASSERT_TRUE(dismiss.Started()) << dismiss.StartError();
    EXPECT_EQ(c.show(), 1) << "the OK button";
    ASSERT_TRUE(dismiss.WaitPumping(30000));
    EXPECT_EQ(dismiss.ExitCode(), 0) << dismiss.Output();
  }
}

// ---------------------------------------------------------------------------
// Mouse: the picture and the exit button

TEST_F(Gui, ExitButtonIsHiddenUntilShown) {
  SplashWindow w(LoaderSplashForm(), {});
  EXPECT_FALSE(w.ExitButtonVisible());
  w.Show();
  platform::ProcessMessages();
  EXPECT_FALSE(w.ExitButtonVisible());
  w.ShowExitButton();
  EXPECT_TRUE(w.ExitButtonVisible());
  w.ShowExitButton();
  EXPECT_TRUE(w.ExitButtonVisible());
}

TEST_F(Gui, RealClicksReachThePictureAndTheExitButton) {
  const struct {
    const char* name;
    bool buttonShown;
    int x, y;  // in the window
    int clicks;
    int expectDblClicks;
    int expectExitClicks;
  } cases[] = {
      {"double-click on the picture", false, 180, 40, 2, 1, 0},
      {"double-click on the picture under a label", false, 60, 70, 2, 1, 0},
      {"single click on the picture", false, 180, 40, 1, 0, 0},
      {"click where the hidden button is", false, 350, 12, 1, 0, 0},
      {"double-click where the hidden button is", false, 350, 12, 2, 1, 0},
      {"click on the visible button", true, 350, 12, 1, 0, 1},
      {"click beside the visible button", true, 335, 12, 1, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int dblClicks = 0;
    int exitClicks = 0;
    SplashWindow w(LoaderSplashForm(), {nullptr, [&] { ++dblClicks; }, [&] { ++exitClicks; }});
    if (c.buttonShown) w.ShowExitButton();
    w.Show();
    // The pause keeps the clicks of the case before from pairing with these
    // into a double-click.
    UnixScript user(FindSplash() + "sleep 1.1\n" + "xdotool mousemove --window \"$id\" " +
                    std::to_string(c.x) + " " + std::to_string(c.y) + "\n" +
                    "sleep 0.2\n"
                    "xdotool click --repeat " +
                    std::to_string(c.clicks) + " --delay 120 1\n");
    ASSERT_TRUE(user.Started()) << user.StartError();
    ASSERT_TRUE(user.WaitPumping(30000));
    ASSERT_EQ(user.ExitCode(), 0) << user.Output();
    PumpUntil([&] { return dblClicks >= c.expectDblClicks && exitClicks >= c.expectExitClicks; },
              5000);
    PumpFor(300);  // nothing more arrives late
    EXPECT_EQ(dblClicks, c.expectDblClicks) << "onLogoDblClick calls";
    EXPECT_EQ(exitClicks, c.expectExitClicks) << "onExitClick calls";
    EXPECT_FALSE(platform::Terminated()) << "only the handler decides to close";
  }
}

// ---------------------------------------------------------------------------
// What the window shows

struct Rgb {
  std::vector<unsigned char> bytes;
  int width = 0;
  unsigned char at(int x, int y, int c) const { return bytes[(y * width + x) * 3 + c]; }
  bool SamePixel(const Rgb& o, int x, int y, int ox, int oy) const {
    for (int c = 0; c < 3; ++c) {
      if (at(x, y, c) != o.at(ox, oy, c)) return false;
    }
    return true;
  }
};

Rgb ReadRgb(const std::string& path, int width, int height) {
  Rgb img;
  img.width = width;
  std::ifstream in(path, std::ios::binary);
  std::ostringstream data;
  data << in.rdbuf();
  const std::string s = data.str();
  img.bytes.assign(s.begin(), s.end());
  if (img.bytes.size() != static_cast<std::size_t>(width) * height * 3) img.bytes.clear();
  return img;
}

// A screenshot of the window beside the picture file, both as raw RGB.
TEST_F(Gui, WindowIsCentredAndShowsThePictureWithTransparentLabels) {
  SplashWindow w(LoaderSplashForm(), {});
  w.SetText(Label::Label1, "");  // leaves the grey band over the picture free
  w.SetText(Label::Test, "");
  w.Show();
  const std::string tag = std::to_string(platform::CurrentThreadId());
  const std::string shot = "gui-shot-" + tag + ".rgb";
  const std::string picture = "gui-picture-" + tag + ".rgb";
  UnixScript grab(FindSplash() +
                  "eval $(xdotool getwindowgeometry --shell \"$id\")\n"
                  "echo \"at $X $Y size $WIDTH $HEIGHT\"\n"
                  "sleep 0.5\n"
                  "xwd -root -silent | convert xwd:- -crop " +
                  std::to_string(kClientWidth) + "x" + std::to_string(kClientHeight) +
                  "+$X+$Y +repage -depth 8 rgb:" + shot +
                  "\n"
                  "convert " +
                  ShellQuote(std::string(KESTRO_SOURCE_DIR) + "/res/splash.bmp") +
                  " -depth 8 rgb:" + picture + "\n");
  ASSERT_TRUE(grab.Started()) << grab.StartError();
  ASSERT_TRUE(grab.WaitPumping(30000));
  ASSERT_EQ(grab.ExitCode(), 0) << grab.Output();
  const Rgb window = ReadRgb(shot, kClientWidth, kClientHeight);
  const Rgb bitmap = ReadRgb(picture, 363, 93);
  std::remove(shot.c_str());
  std::remove(picture.c_str());
  ASSERT_FALSE(window.bytes.empty()) << grab.Output();
  ASSERT_FALSE(bitmap.bytes.empty()) << grab.Output();

  // Centred on the 1024 x 768 screen of the test display.
  EXPECT_NE(grab.Output().find("at " + std::to_string((1024 - kClientWidth) / 2) + " " +
                               std::to_string((768 - kClientHeight) / 2) + " size 365 95"),
            std::string::npos)
      << grab.Output();

  // Counts the pixels of a band of window rows that differ from the picture
  // (which starts at 1,1 in the window).
  auto differing = [&](int top, int bottom, int left, int right) {
    int n = 0;
    for (int y = top; y < bottom; ++y) {
      for (int x = left; x < right; ++x) {
        if (!window.SamePixel(bitmap, x, y, x - 1, y - 1)) ++n;
      }
    }
    return n;
  };
  // Between the loading text and the status lines there is only the picture.
  EXPECT_EQ(differing(16, 66, 1, 364), 0) << "the picture is not shown as it is in the file";
  // Over the loading text and the status line, the text covers some pixels
  // and the picture shows between the letters.
  const struct {
    const char* name;
    int top, bottom, left, right;
  } bands[] = {{"lblLoading", 3, 15, 2, 361}, {"lblStatus", 78, 91, 8, 359}};
  for (const auto& b : bands) {
    SCOPED_TRACE(b.name);
    const int area = (b.bottom - b.top) * (b.right - b.left);
    const int changed = differing(b.top, b.bottom, b.left, b.right);
    EXPECT_GT(changed, area / 100) << "no text painted";
    EXPECT_LT(changed, area / 2) << "the label is not transparent";
  }
  // The emptied labels leave the picture untouched.
  EXPECT_EQ(differing(66, 78, 1, 364), 0);
}

// The back ends draw whatever form they are given: another caption, size,
// texts, window class and colours than the loader's own.
TEST_F(Gui, WindowIsDrawnAfterTheFormItIsGiven) {
  platform::SplashForm form = LoaderSplashForm();
  form.className = "TfrmAnder";
  form.caption = "Ander venster";
  form.clientWidth = 200;
  form.clientHeight = 60;
  form.face = platform::FormColour::Rgb(10, 200, 30);
  form.bevelLight = platform::FormColour::Rgb(250, 0, 0);
  form.bevelDark = platform::FormColour::Rgb(0, 0, 250);
  form.picture = {0, 0, 0, 0};  // no picture: the face shows
  const char* const texts[] = {"eerste", "tweede", "derde", "vierde"};
  for (int i = 0; i < 4; ++i) form.labels[i].text = texts[i];

  SplashWindow w(form, {});
  EXPECT_EQ(w.Caption(), "Ander venster");
  const Label labels[] = {Label::Loading, Label::Label1, Label::Test, Label::Status};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(w.Text(labels[i]), texts[i]) << "label " << i;
  w.Show();

  const std::string shot = "gui-form-" + std::to_string(platform::CurrentThreadId()) + ".rgb";
  UnixScript grab("id=$(xdotool search --sync --onlyvisible --name " +
                  ShellQuote(ExactTitlePattern("Ander venster")) +
                  " | head -n1)\n"
                  "eval $(xdotool getwindowgeometry --shell \"$id\")\n"
                  "echo \"at $X $Y size $WIDTH $HEIGHT\"\n"
                  "sleep 0.5\n"
                  "xwd -root -silent | convert xwd:- -crop 200x60+$X+$Y +repage -depth 8 rgb:" +
                  shot + "\n");
  ASSERT_TRUE(grab.Started()) << grab.StartError();
  ASSERT_TRUE(grab.WaitPumping(30000));
  ASSERT_EQ(grab.ExitCode(), 0) << grab.Output();
  const Rgb window = ReadRgb(shot, 200, 60);
  std::remove(shot.c_str());
  ASSERT_FALSE(window.bytes.empty()) << grab.Output();
  EXPECT_NE(grab.Output().find("at " + std::to_string((1024 - 200) / 2) + " " +
                               std::to_string((768 - 60) / 2) + " size 200 60"),
            std::string::npos)
      << grab.Output();

  const struct {
    const char* name;
    int x, y;
    unsigned char r, g, b;
  } pixels[] = {
      {"face", 100, 40, 10, 200, 30},
      {"bevel, top left", 0, 0, 250, 0, 0},
      {"bevel, bottom right", 199, 59, 0, 0, 250},
  };
  for (const auto& p : pixels) {
    SCOPED_TRACE(p.name);
    EXPECT_EQ(window.at(p.x, p.y, 0), p.r);
    EXPECT_EQ(window.at(p.x, p.y, 1), p.g);
    EXPECT_EQ(window.at(p.x, p.y, 2), p.b);
  }
}

TEST_F(Gui, FrameworkErrorDisplayIsTitledAfterTheLatestForm) {
  platform::SplashForm form = LoaderSplashForm();
  form.applicationName = "AnderProgramma";
  bool thrown = false;
  SplashWindow w(form, {[&](std::uint32_t) {
                          thrown = true;
                          throw 42;  // no text of its own: the form's fallback text is shown
                        },
                        nullptr, nullptr});
  w.Show();
  UnixScript dismiss(DismissBoxWithReturn("AnderProgramma"));
  ASSERT_TRUE(dismiss.Started()) << dismiss.StartError();
  w.Post(kWmStart);
  PumpUntil([&] { return thrown; }, 30000);
  ASSERT_TRUE(dismiss.WaitPumping(30000));
  EXPECT_EQ(dismiss.ExitCode(), 0) << dismiss.Output();
}

}  // namespace
