// The splash window of the Linux port: one FLTK widget that paints the
// panel, the picture, the labels and the flat close button, and the queue of
// messages posted to the window.
//
// The whole splash is one widget that paints itself, as the Windows build
// paints one window: the labels are transparent over the picture, so they are
// drawn in the same pass as the picture instead of as widgets of their own.
#include "platform/gui.h"
// After platform/gui.h: X defines macros that would replace its names.
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
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/common/bmp.h"
#include "platform/posix/gui_fltk.h"

extern const unsigned char kSplashBitmap[];
extern const std::size_t kSplashBitmapSize;

namespace platform {

using namespace fltk;

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

namespace fltk {

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

}  // namespace fltk

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

}  // namespace platform
