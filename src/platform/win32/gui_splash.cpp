// The splash window on Windows: one borderless window with its picture,
// labels and flat close button, with the plain Win32 API (the A functions, as
// the texts are ANSI).
//
// The splash is one window that paints everything itself: the labels are
// transparent over the picture and the flat button has no border until the
// pointer is over it, so child windows would only add flicker and clipping
// work. Painting goes through a memory bitmap for the same reason.
#include <windows.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "platform/gui.h"
#include "platform/gui_guard.h"
#include "platform/unique_handle.h"
#include "platform/win32/gui_win32.h"

namespace platform {

using win32::g_terminated;

namespace {

// The private range that gui.h names ends where the registered messages
// begin; lower numbers are the system's own messages, which the window must
// not take as the caller's.
static_assert(kFirstPrivateMessage == WM_USER, "the private range starts at WM_USER");

RECT ToRect(const FormBox& b) { return RECT{b.x, b.y, b.x + b.w, b.y + b.h}; }

COLORREF ToColorRef(const FormColour& c) {
  switch (c.system) {
    case FormColour::System::ButtonFace:
      return ::GetSysColor(COLOR_BTNFACE);
    case FormColour::System::ButtonHighlight:
      return ::GetSysColor(COLOR_BTNHIGHLIGHT);
    case FormColour::System::ButtonShadow:
      return ::GetSysColor(COLOR_BTNSHADOW);
    case FormColour::System::ButtonText:
      return ::GetSysColor(COLOR_BTNTEXT);
    case FormColour::System::None:
      break;
  }
  return RGB(c.r, c.g, c.b);
}

// GDI objects (fonts, bitmaps) are freed with DeleteObject.
template <typename T>
struct GdiObjectTraits {
  using Handle = T;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::DeleteObject(h); }
};
using FontHandle = UniqueHandle<GdiObjectTraits<HFONT>>;
using BitmapHandle = UniqueHandle<GdiObjectTraits<HBITMAP>>;

// Memory device contexts from CreateCompatibleDC are freed with DeleteDC.
struct MemoryDcTraits {
  using Handle = HDC;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::DeleteDC(h); }
};
using MemoryDc = UniqueHandle<MemoryDcTraits>;

struct WindowTraits {
  using Handle = HWND;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::DestroyWindow(h); }
};
using WindowHandle = UniqueHandle<WindowTraits>;

// Selects an object into a device context for one scope and puts the previous
// one back, which GDI requires before either is deleted.
class ScopedSelect {
 public:
  ScopedSelect(HDC dc, HGDIOBJ obj) : dc_(dc), old_(::SelectObject(dc, obj)) {}
  ~ScopedSelect() { ::SelectObject(dc_, old_); }
  ScopedSelect(const ScopedSelect&) = delete;
  ScopedSelect& operator=(const ScopedSelect&) = delete;

 private:
  HDC dc_;
  HGDIOBJ old_;
};

// The paint pass of WM_PAINT: BeginPaint in the constructor, EndPaint in the
// destructor.
class ScopedPaint {
 public:
  explicit ScopedPaint(HWND wnd) : wnd_(wnd) { dc_ = ::BeginPaint(wnd, &ps_); }
  ~ScopedPaint() { ::EndPaint(wnd_, &ps_); }
  ScopedPaint(const ScopedPaint&) = delete;
  ScopedPaint& operator=(const ScopedPaint&) = delete;
  HDC dc() const { return dc_; }

 private:
  HWND wnd_;
  PAINTSTRUCT ps_;
  HDC dc_;
};

using gui_detail::CallGuarded;
using gui_detail::ReportCurrentException;

FontHandle CreateFormFont(const FormFont& font) {
  // A negative height asks for the character height in pixels, not the cell.
  return FontHandle(::CreateFontA(-font.pixelHeight, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                                  DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                  DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, font.face.c_str()));
}

bool Contains(const RECT& r, int x, int y) {
  return x >= r.left && x < r.right && y >= r.top && y < r.bottom;
}

// A raised (or sunken) bevel one pixel wide, drawn inside `r`.
void DrawBevel(HDC dc, const SplashForm& form, const RECT& r, bool raised) {
  const COLORREF light = ToColorRef(form.bevelLight);
  const COLORREF dark = ToColorRef(form.bevelDark);
  const COLORREF topLeft = raised ? light : dark;
  const COLORREF bottomRight = raised ? dark : light;
  auto line = [dc](int l, int t, int rgt, int b, COLORREF c) {
    // ExtTextOut with an opaque rectangle and no text is GDI's cheapest
    // solid fill, and needs no brush object.
    const RECT box{l, t, rgt, b};
    ::SetBkColor(dc, c);
    ::ExtTextOutA(dc, 0, 0, ETO_OPAQUE, &box, nullptr, 0, nullptr);
  };
  line(r.left, r.top, r.right, r.top + 1, topLeft);
  line(r.left, r.top, r.left + 1, r.bottom, topLeft);
  line(r.left, r.bottom - 1, r.right, r.bottom, bottomRight);
  line(r.right - 1, r.top, r.right, r.bottom, bottomRight);
}

// Everything the splash window holds, with its window procedure. It lives
// outside SplashWindow's private Impl so that the class registration can name
// the window procedure.
struct SplashState {
  SplashHandlers handlers;
  SplashForm form;
  RECT picture{};
  RECT exitButton{};
  WindowHandle window;
  std::string texts[4];
  bool exitButtonVisible = false;
  bool buttonHot = false;
  bool buttonPressed = false;
  bool trackingLeave = false;
  BitmapHandle pictureBitmap;
  SIZE pictureSize{0, 0};
  FontHandle labelFont;
  FontHandle buttonFont;

  static LRESULT CALLBACK WndProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp);
  // `wnd` and not `window`: the handle is stored only once CreateWindowExA
  // has returned, and the window gets messages before that.
  LRESULT Handle(HWND wnd, UINT msg, WPARAM wp, LPARAM lp);
  void Paint(HDC dc);
  void DrawLabel(HDC dc, const std::string& text, const FormLabel& label);
  void DrawExitButton(HDC dc);
  void InvalidateButton() {
    if (window) ::InvalidateRect(window.get(), &exitButton, FALSE);
  }
  void SetHot(bool hot) {
    if (hot != buttonHot) {
      buttonHot = hot;
      InvalidateButton();
    }
  }
  bool OnButton(LPARAM lp) const {
    return exitButtonVisible &&
           Contains(exitButton, static_cast<short>(LOWORD(lp)), static_cast<short>(HIWORD(lp)));
  }
};

LRESULT CALLBACK SplashState::WndProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTA*>(lp);
    ::SetWindowLongPtrA(wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  auto* self = reinterpret_cast<SplashState*>(::GetWindowLongPtrA(wnd, GWLP_USERDATA));
  if (!self) return ::DefWindowProcA(wnd, msg, wp, lp);
  // The handlers are guarded one by one; this catches what painting or
  // bookkeeping might throw (out of memory) before it reaches the system.
  try {
    return self->Handle(wnd, msg, wp, lp);
  } catch (...) {
    ReportCurrentException();
    return 0;
  }
}

LRESULT SplashState::Handle(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg >= kFirstPrivateMessage && msg <= kLastPrivateMessage) {
    if (handlers.onMessage) CallGuarded([&] { handlers.onMessage(msg); });
    return 0;
  }
  switch (msg) {
    case WM_ERASEBKGND:
      return 1;  // WM_PAINT covers every pixel
    case WM_PAINT: {
      ScopedPaint paint(wnd);
      MemoryDc memory(::CreateCompatibleDC(paint.dc()));
      const int cw = form.clientWidth, ch = form.clientHeight;
      BitmapHandle buffer(::CreateCompatibleBitmap(paint.dc(), cw, ch));
      if (!memory || !buffer) {
        Paint(paint.dc());  // no memory for the buffer: paint directly
        return 0;
      }
      {
        ScopedSelect select(memory.get(), buffer.get());
        Paint(memory.get());
        ::BitBlt(paint.dc(), 0, 0, cw, ch, memory.get(), 0, 0, SRCCOPY);
      }
      return 0;
    }
    case WM_MOUSEMOVE:
      if (!trackingLeave) {
        TRACKMOUSEEVENT tme{sizeof(tme), TME_LEAVE, wnd, 0};
        trackingLeave = ::TrackMouseEvent(&tme) != FALSE;
      }
      SetHot(OnButton(lp));
      return 0;
    case WM_MOUSELEAVE:
      trackingLeave = false;
      SetHot(false);
      return 0;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
      // The second click of a quick pair arrives as a double-click (the class
      // has CS_DBLCLKS): on the button it is just another press.
      if (OnButton(lp)) {
        buttonPressed = true;
        ::SetCapture(wnd);
        InvalidateButton();
      } else if (msg == WM_LBUTTONDBLCLK && Contains(picture, static_cast<short>(LOWORD(lp)),
                                                     static_cast<short>(HIWORD(lp)))) {
        if (handlers.onLogoDblClick) CallGuarded(handlers.onLogoDblClick);
      }
      return 0;
    case WM_LBUTTONUP:
      if (buttonPressed) {
        const bool clicked = OnButton(lp);
        buttonPressed = false;
        ::ReleaseCapture();
        InvalidateButton();
        if (clicked && handlers.onExitClick) CallGuarded(handlers.onExitClick);
      }
      return 0;
    case WM_CAPTURECHANGED:
      if (buttonPressed) {
        buttonPressed = false;
        InvalidateButton();
      }
      return 0;
    case WM_CLOSE:
      // Alt+F4 or the task bar: the window is closed as the exit button
      // closes it. It is not destroyed here; the owner of SplashWindow does.
      g_terminated = true;
      ::PostQuitMessage(0);
      return 0;
    default:
      return ::DefWindowProcA(wnd, msg, wp, lp);
  }
}

void SplashState::Paint(HDC dc) {
  const RECT client{0, 0, form.clientWidth, form.clientHeight};
  // A system colour is filled with the system's own brush for it.
  if (form.face.system == FormColour::System::ButtonFace) {
    ::FillRect(dc, &client, ::GetSysColorBrush(COLOR_BTNFACE));
  } else {
    ::SetBkColor(dc, ToColorRef(form.face));
    ::ExtTextOutA(dc, 0, 0, ETO_OPAQUE, &client, nullptr, 0, nullptr);
  }
  // The panel fills the client area with a raised bevel one pixel wide.
  DrawBevel(dc, form, client, true);

  if (pictureBitmap) {
    MemoryDc source(::CreateCompatibleDC(dc));
    if (source) {
      ScopedSelect select(source.get(), pictureBitmap.get());
      const int w = std::min<int>(pictureSize.cx, picture.right - picture.left);
      const int h = std::min<int>(pictureSize.cy, picture.bottom - picture.top);
      ::BitBlt(dc, picture.left, picture.top, w, h, source.get(), 0, 0, SRCCOPY);
    }
  }

  ::SetBkMode(dc, TRANSPARENT);
  {
    ScopedSelect font(dc, labelFont.get());
    for (int i = 0; i < 4; ++i) DrawLabel(dc, texts[i], form.labels[i]);
  }
  if (exitButtonVisible) DrawExitButton(dc);
}

// A transparent label: only its text is drawn, never with "&" as a mnemonic
// sign. Fixed-size labels keep their box and clip the text to it; the others
// are as wide as their text. A word-wrapped label keeps its text at the
// bottom of its box, so a second line grows upwards and is cut off at the top.
void SplashState::DrawLabel(HDC dc, const std::string& text, const FormLabel& label) {
  if (text.empty()) return;
  RECT box = ToRect(label.box);
  const UINT format = DT_LEFT | DT_NOPREFIX | DT_EXPANDTABS |
                      (label.wrapped ? DT_WORDBREAK : DT_SINGLELINE | DT_VCENTER);
  const int len = static_cast<int>(text.size());
  if (label.widthFollowsText) {
    SIZE extent{0, 0};
    ::GetTextExtentPoint32A(dc, text.data(), len, &extent);
    box.right = box.left + extent.cx;
  }
  const int saved = ::SaveDC(dc);
  ::IntersectClipRect(dc, box.left, box.top, box.right, box.bottom);
  if (format & DT_WORDBREAK) {
    RECT measure = box;
    ::DrawTextA(dc, text.data(), len, &measure, format | DT_CALCRECT);
    box.top = box.bottom - (measure.bottom - measure.top);
  }
  ::SetTextColor(dc, ToColorRef(label.colour));
  ::DrawTextA(dc, text.data(), len, &box, format);
  ::RestoreDC(dc, saved);
}

// The flat button shows only its caption until the pointer is over it; then
// it is raised, and sunken while it is held down.
void SplashState::DrawExitButton(HDC dc) {
  const bool down = buttonPressed && buttonHot;
  if (buttonHot || buttonPressed) DrawBevel(dc, form, exitButton, !down);
  RECT caption = exitButton;
  if (down) ::OffsetRect(&caption, 1, 1);
  ScopedSelect font(dc, buttonFont.get());
  ::SetTextColor(dc, ToColorRef(form.exitTextColour));
  ::DrawTextA(dc, form.exitCaption.data(), static_cast<int>(form.exitCaption.size()), &caption,
              DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
}

}  // namespace

struct SplashWindow::Impl : SplashState {};

namespace {

// Registers the window class of a form once; the splash window procedure
// serves every class. A class that is registered already stays as it is.
void RegisterFormClass(HINSTANCE instance, const std::string& className) {
  WNDCLASSEXA wc{};
  if (::GetClassInfoExA(instance, className.c_str(), &wc)) return;
  wc = WNDCLASSEXA{};
  wc.cbSize = sizeof(wc);
  wc.style = CS_DBLCLKS;  // double-clicks on the picture
  wc.lpfnWndProc = &SplashState::WndProc;
  wc.hInstance = instance;
  wc.hIcon = ::LoadIconA(instance, "MAINICON");
  wc.hCursor = ::LoadCursorA(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = className.c_str();
  ::RegisterClassExA(&wc);
}

}  // namespace

SplashWindow::SplashWindow(const SplashForm& form, SplashHandlers handlers)
    : impl_(std::make_unique<Impl>()) {
  impl_->handlers = std::move(handlers);
  impl_->form = form;
  impl_->picture = ToRect(form.picture);
  impl_->exitButton = ToRect(form.exitButton);
  gui_detail::AdoptFormTexts(form);
  // A new main window has not been closed yet; a quit request that an
  // earlier window left in the queue would end this one's first message box.
  g_terminated = false;
  MSG stale;
  while (::PeekMessageA(&stale, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
  }

  for (int i = 0; i < 4; ++i) impl_->texts[i] = form.labels[i].text;
  impl_->labelFont = CreateFormFont(form.labelFont);
  impl_->buttonFont = CreateFormFont(form.exitFont);

  HINSTANCE instance = ::GetModuleHandleA(nullptr);
  RegisterFormClass(instance, form.className);
  // The picture is the executable's bitmap resource "SPLASH"; without it the
  // window shows its button-face background.
  impl_->pictureBitmap.reset(::LoadBitmapA(instance, "SPLASH"));
  if (impl_->pictureBitmap) {
    BITMAP info{};
    if (::GetObjectA(impl_->pictureBitmap.get(), sizeof(info), &info)) {
      impl_->pictureSize = SIZE{info.bmWidth, info.bmHeight};
    }
  }

  // Centred on the primary screen; a pop-up window has no frame, so its
  // window size is its client size.
  const int cw = form.clientWidth, ch = form.clientHeight;
  const int x = (::GetSystemMetrics(SM_CXSCREEN) - cw) / 2;
  const int y = (::GetSystemMetrics(SM_CYSCREEN) - ch) / 2;
  HWND wnd = ::CreateWindowExA(
      0, form.className.c_str(), form.caption.c_str(), WS_POPUP | WS_CLIPCHILDREN, x, y, cw, ch,
      nullptr, nullptr, instance,
      static_cast<SplashState*>(impl_.get()) /* lpParam: WM_NCCREATE stores it */);
  if (!wnd) {
    const DWORD error = ::GetLastError();
    throw std::runtime_error("Het venster kan niet worden gemaakt (fout " + std::to_string(error) +
                             ")");
  }
  impl_->window.reset(wnd);
}

SplashWindow::~SplashWindow() {
  // The window procedure must not reach the Impl while the window goes.
  if (impl_->window) ::SetWindowLongPtrA(impl_->window.get(), GWLP_USERDATA, 0);
  impl_->window.reset();
}

void SplashWindow::SetCaption(const std::string& text) {
  ::SetWindowTextA(impl_->window.get(), text.c_str());
}

std::string SplashWindow::Caption() const {
  HWND wnd = impl_->window.get();
  const int len = ::GetWindowTextLengthA(wnd);
  std::string text(static_cast<std::size_t>(len) + 1, '\0');
  const int got = ::GetWindowTextA(wnd, &text[0], len + 1);
  text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return text;
}

void SplashWindow::SetText(Label label, const std::string& text) {
  impl_->texts[static_cast<int>(label)] = text;
  ::InvalidateRect(impl_->window.get(), nullptr, FALSE);
}

std::string SplashWindow::Text(Label label) const { return impl_->texts[static_cast<int>(label)]; }

void SplashWindow::Show() {
  ::ShowWindow(impl_->window.get(), SW_SHOW);
  ::UpdateWindow(impl_->window.get());
}

void SplashWindow::Hide() { ::ShowWindow(impl_->window.get(), SW_HIDE); }

bool SplashWindow::IsVisible() const { return ::IsWindowVisible(impl_->window.get()) != FALSE; }

void SplashWindow::ShowExitButton() {
  impl_->exitButtonVisible = true;
  impl_->InvalidateButton();
}

bool SplashWindow::ExitButtonVisible() const { return impl_->exitButtonVisible; }

void SplashWindow::Post(std::uint32_t msg) {
  if (msg < kFirstPrivateMessage || msg > kLastPrivateMessage) return;
  ::PostMessageA(impl_->window.get(), msg, 0, 0);
}

void SplashWindow::Close() {
  g_terminated = true;
  ::PostQuitMessage(0);
}

}  // namespace platform
