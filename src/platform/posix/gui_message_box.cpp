// The modal message box of the Linux port.
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

#include "platform/posix/gui_fltk.h"

namespace platform {

using namespace fltk;

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

// The icon of a box: a coloured disc with a sign.
class MessageIcon : public Fl_Widget {
 public:
  MessageIcon(int x, int y, MessageBoxIcon icon) : Fl_Widget(x, y, 32, 32), icon_(icon) {}
  void draw() override {
    Fl_Color disc = FL_BLUE;
    const char* sign = "i";
    switch (icon_) {
      case MessageBoxIcon::Error:
        disc = fl_rgb_color(200, 30, 30);
        sign = "X";
        break;
      case MessageBoxIcon::Question:
        disc = fl_rgb_color(30, 90, 200);
        sign = "?";
        break;
      case MessageBoxIcon::Warning:
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
  MessageBoxIcon icon_;
};

void HideWindowOf(Fl_Widget* w, void*) {
  if (Fl_Window* win = w->as_window() ? w->as_window() : w->window()) win->hide();
}

}  // namespace

int ShowMessageBox(const std::string& text, const std::string& title, MessageBoxStyle style) {
  const MessageBoxIcon icon = style.icon;
  const bool hasIcon = icon != MessageBoxIcon::None;

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
  if (style.topmost) KeepOnTop(box);
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
  ShowMessageBox(text, gui_detail::ApplicationName(), {MessageBoxIcon::Error});
}

}  // namespace platform
