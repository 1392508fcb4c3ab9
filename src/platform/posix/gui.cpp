// The application's GUI on the Linux port, built on FLTK 1.3: the borderless
// splash window with its picture, labels and flat close button, the message
// loop with the window's queue of posted messages, and a modal message box.
//
// The whole splash is one widget that paints itself, as the Windows build
// paints one window: the labels are transparent over the picture, so they are
// drawn in the same pass as the picture instead of as widgets of their own.
#include "platform/gui.h"

#include <FL/Fl.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/Fl_Return_Button.H>
#include <FL/Fl_Widget.H>
#include <FL/Fl_Window.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
// Xlib defines these as macros; they would replace names of this file.
#undef Status
#undef None

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "platform/common/bmp.h"
#include "platform/gui_guard.h"

extern const unsigned char kSplashBitmap[];
extern const std::size_t kSplashBitmapSize;

namespace platform {
namespace {

// Window messages that may be posted: the private ranges of Windows
// (WM_USER up to, not including, the registered-message range).
constexpr std::uint32_t kFirstPrivateMessage = 0x0400;
constexpr std::uint32_t kLastPrivateMessage = 0xBFFF;

constexpr std::uint32_t kIconMask = 0xF0;
constexpr std::uint32_t kIconError = 0x10;
constexpr std::uint32_t kIconQuestion = 0x20;
constexpr std::uint32_t kIconWarning = 0x30;
constexpr std::uint32_t kIconInformation = 0x40;
constexpr std::uint32_t kTopmost = 0x40000;  // MB_TOPMOST

struct Box {
  int x, y, w, h;
  bool Contains(int px, int py) const { return px >= x && px < x + w && py >= y && py < y + h; }
};

Box ToBox(const FormBox& b) { return Box{b.x, b.y, b.w, b.h}; }

// The Windows system colours a form may name, in the values the Linux port
// gives them.
Fl_Color ToFl(const FormColour& c) {
  switch (c.system) {
    case FormColour::System::ButtonFace:
      return fl_rgb_color(240, 240, 240);
    case FormColour::System::ButtonHighlight:
      return fl_rgb_color(255, 255, 255);
    case FormColour::System::ButtonShadow:
      return fl_rgb_color(160, 160, 160);
    case FormColour::System::ButtonText:
      return fl_rgb_color(0, 0, 0);
    case FormColour::System::None:
      break;
  }
  return fl_rgb_color(c.r, c.g, c.b);
}

// Puts the regular style of `face` into FLTK's free font slot `slot` and
// returns the slot. The face is found through fontconfig, which substitutes a
// metric-compatible face where the font itself is not installed. FLTK keeps
// the pointer it is given as the face's name, so every name stays alive to
// the end of the program; the leading blank is FLTK's mark for the regular
// style.
Fl_Font SetFace(int slot, const std::string& face) {
  static std::set<std::string> names;
  const std::string& stored = *names.insert(" " + face).first;
  const Fl_Font font = FL_FREE_FONT + slot;
  Fl::set_font(font, stored.c_str());
  return font;
}

bool g_initialised = false;
bool g_terminated = false;
// Set once Fl::lock() ran, after which any thread may call Fl::awake().
std::atomic<bool> g_awakeReady{false};

using gui_detail::CallGuarded;

// Draws text without FLTK's "@" symbol codes, so a status text is shown
// exactly as it was given.
void DrawText(const std::string& text, const Box& box, Fl_Align align) {
  fl_draw(text.c_str(), box.x, box.y, box.w, box.h, align, nullptr, 0);
}

int TextWidth(const std::string& text) {
  int w = 0, h = 0;
  fl_measure(text.c_str(), w, h, 0);
  return w;
}

// Asks the window manager (where there is one) to keep `win` above all other
// windows, as MB_TOPMOST does on Windows.
void KeepOnTop(Fl_Window& win) {
  Window xid = fl_xid(&win);
  if (!xid || !fl_display) return;
  XEvent ev{};
  ev.xclient.type = ClientMessage;
  ev.xclient.window = xid;
  ev.xclient.message_type = XInternAtom(fl_display, "_NET_WM_STATE", False);
  ev.xclient.format = 32;
  ev.xclient.data.l[0] = 1;  // _NET_WM_STATE_ADD
  ev.xclient.data.l[1] = static_cast<long>(XInternAtom(fl_display, "_NET_WM_STATE_ABOVE", False));
  ev.xclient.data.l[2] = 0;
  ev.xclient.data.l[3] = 1;  // a request from a normal application
  XSendEvent(fl_display, RootWindow(fl_display, fl_screen), False,
             SubstructureRedirectMask | SubstructureNotifyMask, &ev);
  XFlush(fl_display);
}

}  // namespace

// ---------------------------------------------------------------------------
// The splash window

namespace {

class SplashView;

// Everything the splash window holds. The message loop reaches it through
// g_splash, so it lives outside SplashWindow's private Impl.
struct SplashState {
  SplashHandlers handlers;
  std::unique_ptr<Fl_Double_Window> window;
  SplashView* view = nullptr;  // owned by `window`
  SplashForm form;
  Fl_Font labelFont = FL_FREE_FONT;
  Fl_Font exitFont = FL_FREE_FONT;
  std::string caption;
  std::string texts[4];
  bool exitButtonVisible = false;
  DecodedBitmap bitmap;
  std::unique_ptr<Fl_RGB_Image> picture;

  // Posted messages come from any thread; they are handed out on the GUI
  // thread only.
  std::mutex queueMutex;
  // guards:
  std::deque<std::uint32_t> queue;

  std::optional<std::uint32_t> TakePosted() {
    std::lock_guard<std::mutex> lock(queueMutex);
    if (queue.empty()) return std::nullopt;
    const std::uint32_t msg = queue.front();
    queue.pop_front();
    return msg;
  }
};

// The live splash window, if any (GUI thread only). The message loop hands
// its posted messages out through it.
SplashState* g_splash = nullptr;

// Hands out one posted message; false when the queue was empty. The window is
// looked up afresh for every message, because a handler may run a nested loop
// that hands out the following ones.
bool DeliverOnePosted() {
  SplashState* w = g_splash;
  if (!w) return false;
  const std::optional<std::uint32_t> msg = w->TakePosted();
  if (!msg) return false;
  if (w->handlers.onMessage) CallGuarded([&] { w->handlers.onMessage(*msg); });
  return true;
}

// The panel, picture, labels and flat button in one widget.
class SplashView : public Fl_Widget {
 public:
  explicit SplashView(SplashState& owner)
      : Fl_Widget(0, 0, owner.form.clientWidth, owner.form.clientHeight), owner_(owner) {}

  void draw() override {
    const SplashForm& form = owner_.form;
    fl_push_clip(x(), y(), w(), h());
    fl_color(ToFl(form.face));
    fl_rectf(x(), y(), w(), h());
    // The panel: a raised bevel one pixel wide around the client area.
    fl_color(ToFl(form.bevelLight));
    fl_xyline(x(), y(), x() + w() - 1);
    fl_yxline(x(), y(), y() + h() - 1);
    fl_color(ToFl(form.bevelDark));
    fl_xyline(x(), y() + h() - 1, x() + w() - 1);
    fl_yxline(x() + w() - 1, y(), y() + h() - 1);

    if (owner_.picture) {
      const Box picture = ToBox(form.picture);
      fl_push_clip(picture.x, picture.y, picture.w, picture.h);
      owner_.picture->draw(picture.x, picture.y);
      fl_pop_clip();
    }

    fl_font(owner_.labelFont, form.labelFont.pixelHeight);
    for (int i = 0; i < 4; ++i) DrawLabel(owner_.texts[i], form.labels[i]);

    if (owner_.exitButtonVisible) DrawExitButton();
    fl_pop_clip();
  }

  int handle(int event) override {
    const int ex = Fl::event_x() - x();
    const int ey = Fl::event_y() - y();
    const bool onButton =
        owner_.exitButtonVisible && ToBox(owner_.form.exitButton).Contains(ex, ey);
    switch (event) {
      case FL_ENTER:
      case FL_MOVE:
      case FL_DRAG:
        SetHot(onButton);
        return 1;
      case FL_LEAVE:
        SetHot(false);
        return 1;
      case FL_PUSH:
        if (Fl::event_button() != FL_LEFT_MOUSE) return 1;
        if (onButton) {
          pressed_ = true;
          redraw();
          return 1;
        }
        // A second click within the double-click time; counting starts anew
        // after it, as Windows pairs the clicks of a quick series.
        if (Fl::event_clicks() > 0 && ToBox(owner_.form.picture).Contains(ex, ey)) {
          Fl::event_clicks(0);
          if (owner_.handlers.onLogoDblClick) CallGuarded(owner_.handlers.onLogoDblClick);
        }
        return 1;
      case FL_RELEASE:
        if (pressed_) {
          pressed_ = false;
          redraw();
          if (onButton && owner_.handlers.onExitClick) CallGuarded(owner_.handlers.onExitClick);
        }
        return 1;
      default:
        return Fl_Widget::handle(event);
    }
  }

  void ButtonHidden() {
    hot_ = false;
    pressed_ = false;
  }

 private:
  void SetHot(bool hot) {
    if (hot != hot_) {
      hot_ = hot;
      redraw();
    }
  }

  // A transparent label: only its text is drawn. Fixed-size labels clip
  // their text to their box; the others are as wide as their text.
  void DrawLabel(const std::string& text, const FormLabel& label) {
    if (text.empty()) return;
    Box box = ToBox(label.box);
    box.x += x();
    box.y += y();
    if (label.widthFollowsText) box.w = TextWidth(text);
    const Fl_Align align =
        label.wrapped ? FL_ALIGN_LEFT | FL_ALIGN_BOTTOM | FL_ALIGN_WRAP : FL_ALIGN_LEFT;
    fl_color(ToFl(label.colour));
    fl_push_clip(box.x, box.y, box.w, box.h);
    DrawText(text, box, align | FL_ALIGN_INSIDE);
    fl_pop_clip();
  }

  // The flat button shows only its caption until the pointer is over it;
  // then it is raised, and sunken while it is held down.
  void DrawExitButton() {
    const SplashForm& form = owner_.form;
    const Box button = ToBox(form.exitButton);
    const int bx = x() + button.x, by = y() + button.y;
    const int bw = button.w, bh = button.h;
    if (hot_ || pressed_) {
      const bool down = pressed_ && hot_;
      fl_color(ToFl(down ? form.bevelDark : form.bevelLight));
      fl_xyline(bx, by, bx + bw - 1);
      fl_yxline(bx, by, by + bh - 1);
      fl_color(ToFl(down ? form.bevelLight : form.bevelDark));
      fl_xyline(bx, by + bh - 1, bx + bw - 1);
      fl_yxline(bx + bw - 1, by, by + bh - 1);
    }
    const int shift = (pressed_ && hot_) ? 1 : 0;
    fl_font(owner_.exitFont, form.exitFont.pixelHeight);
    fl_color(ToFl(form.exitTextColour));
    DrawText(form.exitCaption, Box{bx + shift, by + shift, bw, bh},
             FL_ALIGN_CENTER | FL_ALIGN_INSIDE);
  }

  SplashState& owner_;
  bool hot_ = false;
  bool pressed_ = false;
};

// The splash window refuses the close request of a window manager and the
// Escape key: closing is Close(), which ends the application the same way as
// the exit button does.
void OnWindowCallback(Fl_Widget*, void* data) {
  auto* self = static_cast<SplashWindow*>(data);
  if (Fl::event() == FL_CLOSE) self->Close();
}

}  // namespace

struct SplashWindow::Impl : SplashState {};

SplashWindow::SplashWindow(const SplashForm& form, SplashHandlers handlers)
    : impl_(std::make_unique<Impl>()) {
  impl_->handlers = std::move(handlers);
  impl_->form = form;
  gui_detail::AdoptFormTexts(form);
  impl_->labelFont = SetFace(0, form.labelFont.face);
  impl_->exitFont = SetFace(1, form.exitFont.face);
  // A new main window has not been closed yet.
  g_terminated = false;

  if (auto bmp = DecodeBmp(kSplashBitmap, kSplashBitmapSize)) {
    impl_->bitmap = std::move(*bmp);
    impl_->picture = std::make_unique<Fl_RGB_Image>(impl_->bitmap.rgb.data(), impl_->bitmap.width,
                                                    impl_->bitmap.height, 3);
  }

  int sx = 0, sy = 0, sw = 0, sh = 0;
  Fl::screen_xywh(sx, sy, sw, sh, 0);
  const int cw = form.clientWidth, ch = form.clientHeight;
  impl_->window =
      std::make_unique<Fl_Double_Window>(sx + (sw - cw) / 2, sy + (sh - ch) / 2, cw, ch);
  Fl_Double_Window& win = *impl_->window;
  win.border(0);
  win.color(ToFl(form.face));
  impl_->view = new SplashView(*impl_);
  win.end();
  win.callback(OnWindowCallback, this);
  // The window's class, as WM_CLASS, lets desktop tools tell it apart.
  win.xclass(form.applicationName.c_str());

  SetCaption(form.caption);
  for (int i = 0; i < 4; ++i) impl_->texts[i] = form.labels[i].text;
  g_splash = impl_.get();
}

SplashWindow::~SplashWindow() {
  if (g_splash == impl_.get()) g_splash = nullptr;
  if (impl_->window) impl_->window->hide();
  impl_->window.reset();
  // Let the X server see the window go before anything else happens.
  Fl::flush();
}

void SplashWindow::SetCaption(const std::string& text) {
  impl_->caption = text;
  impl_->window->copy_label(text.c_str());
}

std::string SplashWindow::Caption() const { return impl_->caption; }

void SplashWindow::SetText(Label label, const std::string& text) {
  impl_->texts[static_cast<int>(label)] = text;
  impl_->view->redraw();
}

std::string SplashWindow::Text(Label label) const { return impl_->texts[static_cast<int>(label)]; }

void SplashWindow::Show() { impl_->window->show(); }

void SplashWindow::Hide() {
  impl_->window->hide();
  Fl::flush();
}

bool SplashWindow::IsVisible() const { return impl_->window->shown() && impl_->window->visible(); }

void SplashWindow::ShowExitButton() {
  impl_->exitButtonVisible = true;
  impl_->view->redraw();
}

bool SplashWindow::ExitButtonVisible() const { return impl_->exitButtonVisible; }

void SplashWindow::Post(std::uint32_t msg) {
  if (msg < kFirstPrivateMessage || msg > kLastPrivateMessage) return;
  {
    std::lock_guard<std::mutex> lock(impl_->queueMutex);
    impl_->queue.push_back(msg);
  }
  // Wakes the GUI thread's wait; safe from any thread once Fl::lock() ran.
  Fl::awake();
}

void SplashWindow::Close() { g_terminated = true; }

// ---------------------------------------------------------------------------
// The application

void InitApplication() {
  if (g_initialised) return;
  Display* display = XOpenDisplay(nullptr);
  if (!display) {
    const char* name = std::getenv("DISPLAY");
    std::fprintf(stderr,
                 "KestroLoader: cannot open the X display \"%s\"; set DISPLAY to a running X "
                 "server.\n",
                 name ? name : "");
    std::exit(1);
  }
  fl_open_display(display);
  // Enables Fl::awake() from worker threads, which post to the window.
  Fl::lock();
  g_awakeReady = true;
  Fl::visible_focus(0);
  g_initialised = true;
}

void RunMessageLoop() {
  while (!g_terminated) {
    if (DeliverOnePosted()) continue;
    // Returns after at least one event, or when a message is posted.
    Fl::wait();
  }
}

void ProcessMessages() {
  if (!g_initialised) return;
  do {
    Fl::check();
  } while (DeliverOnePosted());
}

bool Terminated() { return g_terminated; }

struct WakeSignal::Impl {
  std::mutex lock;
  std::condition_variable raised;
  std::atomic<bool> set{false};
};

WakeSignal::WakeSignal() : impl_(std::make_unique<Impl>()) {}
WakeSignal::~WakeSignal() = default;

void WakeSignal::Set() {
  {
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->set = true;
  }
  impl_->raised.notify_all();
  // Ends a running Fl::wait; the wake stays pending when no wait runs yet,
  // so a wait that begins afterwards returns at once.
  if (g_awakeReady) Fl::awake();
}

bool WakeSignal::IsSet() const { return impl_->set; }

bool WaitForWakeOrInput(WakeSignal& signal, std::uint32_t ms) {
  if (signal.IsSet()) return true;
  if (!g_initialised) {
    // No display: only the signal and the time can end the wait.
    std::unique_lock<std::mutex> guard(signal.impl_->lock);
    signal.impl_->raised.wait_for(guard, std::chrono::milliseconds(ms),
                                  [&] { return signal.impl_->set.load(); });
    return signal.IsSet();
  }
  Fl::wait(static_cast<double>(ms) / 1000.0);
  return signal.IsSet();
}

namespace {

// The message text of a box, drawn without FLTK's "@" symbol codes.
class MessageText : public Fl_Widget {
 public:
  MessageText(int x, int y, int w, int h, std::string text)
      : Fl_Widget(x, y, w, h), text_(std::move(text)) {}
  void draw() override {
    fl_font(FL_HELVETICA, 14);
    fl_color(FL_FOREGROUND_COLOR);
    DrawText(text_, Box{x(), y(), w(), h()}, FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_WRAP);
  }

 private:
  std::string text_;
};

// The icon of a box: a coloured disc with a sign, after MB_ICON* in flags.
class MessageIcon : public Fl_Widget {
 public:
  MessageIcon(int x, int y, std::uint32_t icon) : Fl_Widget(x, y, 32, 32), icon_(icon) {}
  void draw() override {
    Fl_Color disc = FL_BLUE;
    const char* sign = "i";
    switch (icon_) {
      case kIconError:
        disc = fl_rgb_color(200, 30, 30);
        sign = "X";
        break;
      case kIconQuestion:
        disc = fl_rgb_color(30, 90, 200);
        sign = "?";
        break;
      case kIconWarning:
        disc = fl_rgb_color(230, 170, 0);
        sign = "!";
        break;
      default:
        disc = fl_rgb_color(30, 90, 200);
        sign = "i";
        break;
    }
    fl_color(disc);
    fl_pie(x(), y(), w(), h(), 0, 360);
    fl_color(FL_WHITE);
    fl_font(FL_HELVETICA_BOLD, 20);
    DrawText(sign, Box{x(), y(), w(), h()}, FL_ALIGN_CENTER | FL_ALIGN_INSIDE);
  }

 private:
  std::uint32_t icon_;
};

void HideWindowOf(Fl_Widget* w, void*) {
  if (Fl_Window* win = w->as_window() ? w->as_window() : w->window()) win->hide();
}

}  // namespace

int ShowMessageBox(const std::string& text, const std::string& title, std::uint32_t flags) {
  const std::uint32_t icon = flags & kIconMask;
  const bool hasIcon = icon == kIconError || icon == kIconQuestion || icon == kIconWarning ||
                       icon == kIconInformation;

  // The text is wrapped at a readable width; the box grows to fit it.
  fl_font(FL_HELVETICA, 14);
  int textW = 400, textH = 0;
  fl_measure(text.c_str(), textW, textH, 0);
  textW = std::max(textW, 120);
  textH = std::max(textH, 32);
  const int margin = 16;
  const int iconW = hasIcon ? 32 + margin : 0;
  const int buttonW = 80, buttonH = 26;
  const int boxW = std::max(margin + iconW + textW + margin, buttonW + 2 * margin);
  const int boxH = margin + std::max(textH, hasIcon ? 32 : 0) + margin + buttonH + margin;

  int sx = 0, sy = 0, sw = 0, sh = 0;
  Fl::screen_xywh(sx, sy, sw, sh, 0);
  Fl_Window box(sx + (sw - boxW) / 2, sy + (sh - boxH) / 2, boxW, boxH);
  box.copy_label(title.c_str());
  const std::string application = gui_detail::ApplicationName();
  box.xclass(application.c_str());
  if (hasIcon) new MessageIcon(margin, margin, icon);
  new MessageText(margin + iconW, margin, textW, std::max(textH, 32), text);
  auto* ok = new Fl_Return_Button(boxW - margin - buttonW, boxH - margin - buttonH, buttonW,
                                  buttonH, "OK");
  ok->callback(HideWindowOf);
  box.end();
  // Escape and the window manager's close both dismiss the box, as they do a
  // box with only an OK button on Windows.
  box.callback(HideWindowOf);
  box.set_modal();
  box.show();
  if (flags & kTopmost) KeepOnTop(box);
  ok->take_focus();

  // The box's own loop still hands out the splash window's posted messages,
  // as the modal loop of a Windows message box dispatches them.
  while (box.shown()) {
    Fl::wait();
    while (DeliverOnePosted()) {
    }
  }
  Fl::flush();
  return 1;  // IDOK: the only button
}

void ShowFrameworkError(const std::string& text) {
  ShowMessageBox(text, gui_detail::ApplicationName(), kIconError);
}

}  // namespace platform
