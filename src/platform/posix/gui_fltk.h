// The Linux port's GUI on FLTK: what the splash window, the message loop and
// the message box share. Private to platform/posix/gui*.cpp.
#pragma once

#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
// Xlib defines these as macros; they would replace names of these files.
#undef Status
#undef None

#include <atomic>
#include <cstdint>
#include <set>
#include <string>

#include "platform/gui.h"
#include "platform/gui_guard.h"

namespace platform {
namespace fltk {

struct Box {
  int x, y, w, h;
  bool Contains(int px, int py) const { return px >= x && px < x + w && py >= y && py < y + h; }
};

inline Box ToBox(const FormBox& b) { return Box{b.x, b.y, b.w, b.h}; }

// The Windows system colours a form may name, in the values the Linux port
// gives them.
inline Fl_Color ToFl(const FormColour& c) {
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
inline Fl_Font SetFace(int slot, const std::string& face) {
  static std::set<std::string> names;
  const std::string& stored = *names.insert(" " + face).first;
  const Fl_Font font = FL_FREE_FONT + slot;
  Fl::set_font(font, stored.c_str());
  return font;
}

inline bool g_initialised = false;
inline bool g_terminated = false;
// Set once Fl::lock() ran, after which any thread may call Fl::awake().
inline std::atomic<bool> g_awakeReady{false};

using gui_detail::CallGuarded;

// Draws text without FLTK's "@" symbol codes, so a status text is shown
// exactly as it was given.
inline void DrawText(const std::string& text, const Box& box, Fl_Align align) {
  fl_draw(text.c_str(), box.x, box.y, box.w, box.h, align, nullptr, 0);
}

inline int TextWidth(const std::string& text) {
  int w = 0, h = 0;
  fl_measure(text.c_str(), w, h, 0);
  return w;
}

// Asks the window manager (where there is one) to keep `win` above all other
// windows, as MB_TOPMOST does on Windows.
inline void KeepOnTop(Fl_Window& win) {
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

// Hands out one posted message of the splash window; false when there was
// none (see gui_splash.cpp).
bool DeliverOnePosted();

}  // namespace fltk
}  // namespace platform
