// The application's GUI: the splash window, the message loop and modal boxes.
// Win32 windows on Windows, FLTK 1.3 on the Linux port.
//
// Contract: GUI thread only (the thread that called InitApplication). Nothing
// here throws out of a window procedure or callback: the handlers the caller
// installs are wrapped in a catch-all that reports through
// ShowFrameworkError.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {

// Must run before any other function of this header.
void InitApplication();

// Runs the message loop until the application is terminated (the splash
// window was closed) and returns afterwards.
void RunMessageLoop();

// Handles every pending GUI message (paint, input, posted messages, timers)
// and returns at once; safe to call when no window exists.
void ProcessMessages();

// A flag that another thread raises to end the GUI thread's
// WaitForWakeOrInput at once. Set() may be called from any thread, also
// before the wait begins; the flag stays raised.
class WakeSignal {
 public:
  WakeSignal();
  ~WakeSignal();
  WakeSignal(const WakeSignal&) = delete;
  WakeSignal& operator=(const WakeSignal&) = delete;

  void Set();
  bool IsSet() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  friend bool WaitForWakeOrInput(WakeSignal& signal, std::uint32_t ms);
};

// Sleeps until `signal` is raised, input or a message for the application
// arrives, or `ms` milliseconds pass, whichever comes first; returns whether
// the signal is raised. The caller processes the messages afterwards
// (ProcessMessages). Windows: MsgWaitForMultipleObjects with QS_ALLINPUT;
// the Linux port: FLTK's wait, which returns on every X event and on every
// posted message (and may handle the events it waited for itself).
bool WaitForWakeOrInput(WakeSignal& signal, std::uint32_t ms);

// True once the splash window was closed; the message loop then ends as soon
// as the handler that is running returns. A newly created splash window
// starts the application afresh (not terminated).
bool Terminated();

// The sign a message box shows beside its text.
enum class MessageBoxIcon { None, Error, Question, Warning, Information };

// How a message box looks and where it stands. It always has one button, OK.
struct MessageBoxStyle {
  MessageBoxIcon icon = MessageBoxIcon::None;
  bool foreground = false;  // brought to the front, taking the focus
  bool topmost = false;     // kept above every window that is not topmost
};

// A modal message box without owner window; returns the button pressed
// (1 = OK).
int ShowMessageBox(const std::string& text, const std::string& title, MessageBoxStyle style);

// The framework's own error display, for errors that escape a handler: an
// error box titled with the application's name of the last splash form (the
// executable's name without extension before any splash window existed).
void ShowFrameworkError(const std::string& text);

// What a splash window looks like and says, as plain data: the caller
// describes the form, the back ends only draw it. Boxes are in client
// coordinates; a colour is either one of the system's own colours (which the
// user's theme sets on Windows, and which the Linux port gives their classic
// Windows values) or a fixed RGB value.
struct FormBox {
  int x, y, w, h;
};

struct FormColour {
  enum class System { None, ButtonFace, ButtonHighlight, ButtonShadow, ButtonText };
  System system;
  std::uint8_t r, g, b;

  static constexpr FormColour Rgb(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
    return FormColour{System::None, red, green, blue};
  }
  static constexpr FormColour Of(System s) { return FormColour{s, 0, 0, 0}; }
};

// A regular face by name, sized by the height of its characters in pixels.
struct FormFont {
  std::string face;
  int pixelHeight;
};

// A transparent label: only its text is drawn over what lies below it. A
// label whose width follows its text ignores box.w; a wrapped label breaks
// its text at words and keeps it at the bottom of its box, the others show
// one line centred in the height of the box. Every label clips to its box.
struct FormLabel {
  FormBox box;
  FormColour colour;
  bool widthFollowsText;
  bool wrapped;
  std::string text;  // the text the window starts with
};

struct SplashForm {
  // The window class: the registered class name on Windows; the Linux port
  // uses the application's name as the X class, as its message boxes do.
  std::string className;
  // The application's name: the title of the framework's error display.
  std::string applicationName;
  // What the framework's error display says for an error without a text.
  std::string unknownErrorText;
  std::string caption;
  int clientWidth, clientHeight;  // centred on the primary screen
  // A panel fills the client area: its face and its raised bevel one pixel
  // wide; the flat exit button uses the same bevel colours.
  FormColour face, bevelLight, bevelDark;
  FormBox picture;  // the executable's splash picture, clipped to the box
  FormFont labelFont;
  FormLabel labels[4];  // in the order of SplashWindow::Label
  // The flat exit button, hidden at first.
  FormBox exitButton;
  std::string exitCaption;
  FormFont exitFont;
  FormColour exitTextColour;
};

// The message numbers a program may post to its own window (the private
// range); lower numbers are the system's own.
constexpr std::uint32_t kFirstPrivateMessage = 0x0400;
constexpr std::uint32_t kLastPrivateMessage = 0xBFFF;

// The splash window: borderless, drawn after its form, with the picture,
// four labels and a small flat exit button that is hidden at first.
struct SplashHandlers {
  std::function<void(std::uint32_t msg)> onMessage;  // a message posted to the window
  std::function<void()> onLogoDblClick;
  std::function<void()> onExitClick;
};

class SplashWindow {
 public:
  enum class Label { Loading, Label1, Test, Status };

  // Creates the window hidden after `form`; Show() makes it visible. Handlers
  // may be called from the first ProcessMessages or RunMessageLoop on. The
  // form's application name and unknown-error text serve the framework's
  // error display from then on, also after the window has gone.
  SplashWindow(const SplashForm& form, SplashHandlers handlers);
  ~SplashWindow();
  SplashWindow(const SplashWindow&) = delete;
  SplashWindow& operator=(const SplashWindow&) = delete;

  void SetCaption(const std::string& text);
  std::string Caption() const;
  void SetText(Label label, const std::string& text);
  std::string Text(Label label) const;
  void Show();
  void Hide();
  bool IsVisible() const;
  void ShowExitButton();
  bool ExitButtonVisible() const;
  // Queues `msg` for the window; it is delivered through onMessage by the
  // message loop or by ProcessMessages, never synchronously. Any thread may
  // post. Only private message numbers (kFirstPrivateMessage up to
  // kLastPrivateMessage) are posted; the system's own numbers are ignored.
  void Post(std::uint32_t msg);
  // Terminates the application: the loop ends once the running handler
  // returns. The window itself stays until it is destroyed.
  void Close();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
