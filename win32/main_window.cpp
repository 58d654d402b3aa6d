#include "win32/main_window.h"

#include <commctrl.h>

#include <algorithm>
#include <cmath>
#include <cwctype>
#include <map>
#include <string_view>
#include <tuple>

#include "platform/system_calls.h"
#include "util/event_pump.h"

namespace crateline::win32 {

using window::Control;
using window::ControlSpec;
using window::Kind;

namespace {

constexpr wchar_t kFrameClass[] = L"CratelineFrame";
constexpr wchar_t kClientClass[] = L"CratelineClient";
constexpr int kFirstId = 100;
constexpr DWORD kFrameStyle =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr UINT kPathFlags = DT_LEFT | DT_TOP | DT_WORDBREAK | DT_EDITCONTROL | DT_NOPREFIX;

std::wstring Wide(const std::string& text) {
  const std::u16string wide = platform::Utf8ToUtf16(text);
  return {wide.begin(), wide.end()};
}

std::size_t Index(Control control) {
  return static_cast<std::size_t>(control);
}

COLORREF Colour(const window::Rgb& rgb) {
  return RGB(rgb.r, rgb.g, rgb.b);
}

// A control inside a frame or a bar is made a child of the client area all the same (a group
// box passes no clicks on), placed where its parent puts it.
RECT Where(const ControlSpec& spec) {
  int x = spec.rect.x;
  int y = spec.rect.y;
  for (Control parent = spec.parent; parent != Control::kWindow;
       parent = window::Spec(parent).parent) {
    x += window::Spec(parent).rect.x;
    y += window::Spec(parent).rect.y;
  }
  return {x, y, x + spec.rect.width, y + spec.rect.height};
}

// The mnemonic notation read as a label shows it: "&&" is "&", a lone "&" shows nothing.
std::wstring Plain(const std::wstring& mnemonic) {
  std::wstring plain;
  for (std::size_t i = 0; i < mnemonic.size(); ++i) {
    if (mnemonic[i] == L'&' && i + 1 < mnemonic.size()) ++i;
    plain += mnemonic[i];
  }
  return plain;
}

// `count` code units of the text's start or end, never half of a surrogate pair.
std::wstring Head(const std::wstring& text, std::size_t count) {
  if (count > 0 && count < text.size() && IS_HIGH_SURROGATE(text[count - 1])) --count;
  return text.substr(0, count);
}
std::wstring Tail(const std::wstring& text, std::size_t count) {
  std::size_t from = text.size() - count;
  if (count > 0 && from < text.size() && IS_LOW_SURROGATE(text[from])) ++from;
  return text.substr(from);
}

HBRUSH BrushOf(COLORREF colour) {
  static std::map<COLORREF, HBRUSH> brushes;  // a handful, for the program's life
  auto [at, added] = brushes.try_emplace(colour, nullptr);
  if (added) at->second = CreateSolidBrush(colour);
  return at->second;
}

// What lies beneath a control drawn by hand: the last rectangle made before it that holds it.
HBRUSH BackgroundOf(const ControlSpec& spec, HBRUSH face) {
  const RECT at = Where(spec);
  HBRUSH below = face;
  for (const ControlSpec& other : window::Controls()) {
    if (other.id == spec.id) break;
    const RECT under = Where(other);
    if (other.kind == Kind::kRectangle && under.left <= at.left && under.top <= at.top &&
        under.right >= at.right && under.bottom >= at.bottom) {
      below = BrushOf(Colour(*other.fill));
    }
  }
  return below;
}

// A group box draws its border and title only; what lies inside is painted here, or it would
// keep whatever was on the screen before.
LRESULT CALLBACK FrameBoxProc(HWND box, UINT message, WPARAM w, LPARAM l, UINT_PTR,
                              DWORD_PTR face) {
  if (message == WM_ERASEBKGND) {
    RECT inside{};
    GetClientRect(box, &inside);
    FillRect(reinterpret_cast<HDC>(w), &inside, reinterpret_cast<HBRUSH>(face));
    return TRUE;
  }
  return DefSubclassProc(box, message, w, l);
}

MainWindow* Owning(HWND window) {
  return reinterpret_cast<MainWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

void Adopt(HWND window, LPARAM l) {
  const auto* create = reinterpret_cast<const CREATESTRUCTW*>(l);
  SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
}

}  // namespace

MainWindow::MainWindow(window::Desktop& desktop, HINSTANCE instance) {
  // The progress bar and tooltips are common controls: their classes must exist before the
  // window is built, which is before its logic initialises them.
  INITCOMMONCONTROLSEX classes{sizeof(classes), ICC_PROGRESS_CLASS | ICC_BAR_CLASSES};
  InitCommonControlsEx(&classes);
  face_ = GetSysColorBrush(COLOR_BTNFACE);
  Build(instance);
  util::SetEventPump([this] {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) {
        PostQuitMessage(static_cast<int>(message.wParam));  // for the loop outside the work
        return;
      }
      if (!PreTranslate(message)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
      }
    }
  });
  logic_ = std::make_unique<window::FrmStep1>(*this, desktop);
}

MainWindow::~MainWindow() {
  util::SetEventPump({});
  if (frame_ != nullptr) {
    SetWindowLongPtrW(frame_, GWLP_USERDATA, 0);
    SetWindowLongPtrW(client_, GWLP_USERDATA, 0);
    DestroyWindow(frame_);
  }
  for (HFONT font : fonts_) {
    if (font != nullptr) DeleteObject(font);
  }
}

void MainWindow::Build(HINSTANCE instance) {
  WNDCLASSEXW frame{};
  frame.cbSize = sizeof(frame);
  frame.lpfnWndProc = FrameProc;
  frame.hInstance = instance;
  frame.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  frame.hbrBackground = face_;
  frame.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
  frame.lpszClassName = kFrameClass;
  RegisterClassExW(&frame);  // fails harmlessly when a second window registers it again
  WNDCLASSEXW client = frame;
  client.lpfnWndProc = ClientProc;
  client.hIcon = nullptr;
  client.lpszClassName = kClientClass;
  RegisterClassExW(&client);

  frame_ = CreateWindowExW(0, kFrameClass, Wide(window::kCaption).c_str(), kFrameStyle,
                           CW_USEDEFAULT, CW_USEDEFAULT, window::kClientWidth,
                           window::kClientHeight, nullptr, nullptr, instance, this);
  client_ = CreateWindowExW(WS_EX_CONTROLPARENT, kClientClass, L"",
                            WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0, window::kClientWidth,
                            window::kClientHeight, frame_, nullptr, instance, this);
  tooltip_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                             WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                             CW_USEDEFAULT, CW_USEDEFAULT, frame_, nullptr, instance, nullptr);
  for (const ControlSpec& spec : window::Controls()) Make(spec, instance);
  // Later controls lie above earlier ones (the stop button over the start button).
  for (const ControlSpec& spec : window::Controls()) {
    SetWindowPos(Handle(spec.id), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  }
  Place();
}

void MainWindow::Make(const ControlSpec& spec, HINSTANCE instance) {
  const RECT at = Where(spec);
  DWORD style = WS_CHILD | WS_CLIPSIBLINGS | (spec.visible ? WS_VISIBLE : 0);
  const wchar_t* type = L"STATIC";
  switch (spec.kind) {
    case Kind::kRectangle:
    case Kind::kPicture:
    case Kind::kPathLabel:
      style |= SS_OWNERDRAW;
      break;
    case Kind::kLabel:
      style |= SS_LEFTNOWORDWRAP;
      break;
    case Kind::kWrappedLabel:
    case Kind::kBar:
      style |= SS_LEFT;
      break;
    case Kind::kLinkLabel:
      style |= SS_LEFTNOWORDWRAP | SS_NOTIFY;
      break;
    case Kind::kButton:
      type = L"BUTTON";
      style |= BS_PUSHBUTTON | WS_TABSTOP;
      break;
    case Kind::kFrame:
      type = L"BUTTON";
      style |= BS_GROUPBOX;
      break;
    case Kind::kProgressBar:
      type = PROGRESS_CLASSW;
      break;
  }
  const std::wstring text = spec.kind == Kind::kPathLabel ? L"" : Wide(spec.text);
  HWND control = CreateWindowExW(
      0, type, text.c_str(), style, at.left, at.top, at.right - at.left, at.bottom - at.top,
      client_,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFirstId + static_cast<int>(Index(spec.id)))),
      instance, nullptr);
  controls_[Index(spec.id)] = control;
  if (spec.font.family != nullptr)
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(FontOf(spec.font)), FALSE);
  EnableWindow(control, spec.enabled);
  if (spec.kind == Kind::kProgressBar) SendMessageW(control, PBM_SETRANGE32, 0, 100);
  if (spec.kind == Kind::kFrame) {
    SetWindowSubclass(control, FrameBoxProc, 0, reinterpret_cast<DWORD_PTR>(face_));
  }
  if (spec.kind == Kind::kLinkLabel) {
    // The text may run wider than designed in another font: the link grows to the right
    // rather than cut its last letter.
    HDC dc = GetDC(control);
    SelectObject(dc, FontOf(spec.font));
    SIZE size{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    ReleaseDC(control, dc);
    if (size.cx > spec.rect.width) {
      SetWindowPos(control, nullptr, 0, 0, size.cx, spec.rect.height, SWP_NOMOVE | SWP_NOZORDER);
    }
  }
  if (spec.kind == Kind::kPathLabel) {
    TOOLINFOW tool{};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = client_;
    tool.uId = reinterpret_cast<UINT_PTR>(control);
    tool.lpszText = const_cast<wchar_t*>(L"");
    SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    SetText(spec.id, spec.text);
  }
}

HFONT MainWindow::FontOf(const window::Font& font) {
  for (std::size_t i = 0; i < fonts_.size(); ++i) {
    if (fonts_[i] == nullptr) {
      // Points at 96 dots per inch, as designed; Windows scales a window that is not aware of
      // the screen's scale.
      const int height = -static_cast<int>(std::lround(font.points * 96.0 / 72.0));
      fonts_[i] = CreateFontW(height, 0, 0, 0, font.bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                              DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                              DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, Wide(font.family).c_str());
      fontSpecs_[i] = font;
      return fonts_[i];
    }
    const window::Font& known = fontSpecs_[i];
    if (std::string_view(known.family) == font.family && known.points == font.points &&
        known.bold == font.bold) {
      return fonts_[i];
    }
  }
  return fonts_.back();
}

HWND MainWindow::Handle(Control control) const {
  return control == Control::kWindow ? frame_ : controls_[Index(control)];
}

const std::wstring& MainWindow::PathOf(Control control) const {
  return paths_[Index(control)];
}

std::wstring MainWindow::ShownPath(Control control) const {
  return shown_[Index(control)];
}

void MainWindow::Show() {
  ShowWindow(frame_, SW_SHOWNORMAL);
  UpdateWindow(frame_);
  SetFocus(window::kFocusOrder.front());
}

// Centred on the work area where it fits; else its title bar on the screen, made as small as
// the screen, and the client area scrolled.
void MainWindow::Place() {
  RECT work{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  RECT around{0, 0, 0, 0};
  AdjustWindowRectEx(&around, kFrameStyle, FALSE, 0);
  const window::Margins frame{-around.left, -around.top, around.right, around.bottom};
  const window::Placement place =
      window::PlaceWindow({work.left, work.top, work.right - work.left, work.bottom - work.top},
                          window::kClientWidth, window::kClientHeight, frame);
  SetWindowPos(frame_, nullptr, place.x, place.y, place.width + frame.left + frame.right,
               place.height + frame.top + frame.bottom, SWP_NOZORDER | SWP_NOACTIVATE);
  const bool across = place.width < window::kClientWidth;
  const bool down = place.height < window::kClientHeight;
  ShowScrollBar(frame_, SB_HORZ, across);
  ShowScrollBar(frame_, SB_VERT, down);
  RECT shown{};
  GetClientRect(frame_, &shown);
  for (const auto& [bar, size, page] : {std::tuple{SB_HORZ, window::kClientWidth, shown.right},
                                        std::tuple{SB_VERT, window::kClientHeight, shown.bottom}}) {
    SCROLLINFO info{
        sizeof(info), SIF_RANGE | SIF_PAGE | SIF_POS, 0, size - 1, static_cast<UINT>(page), 0, 0};
    SetScrollInfo(frame_, bar, &info, TRUE);
  }
}

void MainWindow::Scroll(int bar, WPARAM request) {
  SCROLLINFO info{sizeof(info), SIF_ALL, 0, 0, 0, 0, 0};
  GetScrollInfo(frame_, bar, &info);
  int position = info.nPos;
  switch (LOWORD(request)) {
    case SB_LINEUP:
      position -= 16;
      break;
    case SB_LINEDOWN:
      position += 16;
      break;
    case SB_PAGEUP:
      position -= static_cast<int>(info.nPage);
      break;
    case SB_PAGEDOWN:
      position += static_cast<int>(info.nPage);
      break;
    case SB_THUMBTRACK:
    case SB_THUMBPOSITION:
      position = info.nTrackPos;
      break;
    default:
      break;
  }
  const int last = std::max(0, info.nMax - static_cast<int>(info.nPage) + 1);
  position = std::clamp(position, 0, last);
  info.fMask = SIF_POS;
  info.nPos = position;
  SetScrollInfo(frame_, bar, &info, TRUE);
  (bar == SB_HORZ ? scrollX_ : scrollY_) = position;
  SetWindowPos(client_, nullptr, -scrollX_, -scrollY_, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

window::OwnerHandle MainWindow::Owner() const {
  return window::OwnerHandle{frame_};
}

void MainWindow::SetText(Control control, const std::string& mnemonicText) {
  if (window::Spec(control).kind != Kind::kPathLabel) {
    SetWindowTextW(Handle(control), Wide(mnemonicText).c_str());
    return;
  }
  paths_[Index(control)] = Wide(mnemonicText);
  FitPath(control);
}

// The longest text of the form head + "…" + tail, or the whole path, whose lines fit the label.
void MainWindow::FitPath(Control control) {
  HWND label = Handle(control);
  const std::wstring path = Plain(paths_[Index(control)]);
  RECT room{};
  GetClientRect(label, &room);
  HDC dc = GetDC(label);
  SelectObject(dc, FontOf(window::Spec(control).font));
  const auto fits = [&](const std::wstring& text) {
    RECT measured{0, 0, room.right, 0};
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &measured, kPathFlags | DT_CALCRECT);
    return measured.bottom <= room.bottom && measured.right <= room.right;
  };
  std::wstring shown = path;
  if (!fits(shown)) {
    std::size_t low = 0, high = path.size();  // characters kept: low fits, high does not
    const auto cut = [&](std::size_t kept) {
      return Head(path, kept - kept / 2) + L"\u2026" + Tail(path, kept / 2);
    };
    while (high - low > 1) {
      const std::size_t middle = (low + high) / 2;
      (fits(cut(middle)) ? low : high) = middle;
    }
    shown = cut(low);
  }
  ReleaseDC(label, dc);
  shown_[Index(control)] = shown;
  TOOLINFOW tool{};
  tool.cbSize = TTTOOLINFOW_V2_SIZE;
  tool.hwnd = client_;
  tool.uId = reinterpret_cast<UINT_PTR>(label);
  std::wstring tip = shown == path ? std::wstring() : path;
  tool.lpszText = tip.data();
  SendMessageW(tooltip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
  SetWindowTextW(label, path.c_str());  // what a screen reader reads
  InvalidateRect(label, nullptr, TRUE);
}

void MainWindow::SetEnabled(Control control, bool enabled) {
  EnableWindow(Handle(control), enabled);
}

void MainWindow::SetVisible(Control control, bool visible) {
  ShowWindow(Handle(control), visible ? SW_SHOWNA : SW_HIDE);
}

void MainWindow::SetProgressRange(int minimum, int maximum) {
  SendMessageW(Handle(Control::kProgressBarTgz), PBM_SETRANGE32, minimum, maximum);
}

void MainWindow::SetProgress(int value) {
  SendMessageW(Handle(Control::kProgressBarTgz), PBM_SETPOS, value, 0);
}

void MainWindow::SetFocus(Control control) {
  HWND target = Handle(control);
  if (control != Control::kWindow && (!IsWindowEnabled(target) || !IsWindowVisible(target))) return;
  ::SetFocus(target);  // the frame itself: no key does anything there
}

void MainWindow::SetBusyPointer(bool busy) {
  busy_ = busy;
  SetCursor(LoadCursorW(nullptr, busy ? IDC_WAIT : IDC_ARROW));
}

void MainWindow::Hide() {
  ShowWindow(frame_, SW_HIDE);
}

void MainWindow::MoveFocus(int step) {
  const auto& order = window::kFocusOrder;
  const int count = static_cast<int>(order.size());
  int at = -1;
  for (int i = 0; i < count; ++i) {
    if (Handle(order[i]) == GetFocus()) at = i;
  }
  for (int tried = 1; tried <= count; ++tried) {
    const int next = ((at < 0 ? (step > 0 ? -1 : 0) : at) + step * tried + count * 2) % count;
    HWND candidate = Handle(order[next]);
    if (IsWindowEnabled(candidate) && IsWindowVisible(candidate)) {
      ::SetFocus(candidate);
      return;
    }
  }
}

bool MainWindow::PreTranslate(const MSG& message) {
  if (message.hwnd != frame_ && !IsChild(frame_, message.hwnd)) return false;
  if (message.message == WM_KEYDOWN && message.wParam == VK_TAB) {
    MoveFocus(GetKeyState(VK_SHIFT) < 0 ? -1 : 1);
    return true;
  }
  if (message.message == WM_KEYDOWN && (message.wParam == VK_RETURN)) {
    // Enter presses the focused button, as Space does.
    for (const Control control : window::kFocusOrder) {
      if (Handle(control) == GetFocus()) SendMessageW(Handle(control), BM_CLICK, 0, 0);
    }
    return true;
  }
  if (message.message == WM_SYSCHAR) {
    const wchar_t key = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(message.wParam)));
    for (const Control control : window::kFocusOrder) {
      const std::wstring text = Wide(window::Spec(control).text);
      const auto mark = text.find(L'&');
      HWND button = Handle(control);
      if (mark != std::wstring::npos && mark + 1 < text.size() &&
          std::towlower(static_cast<wint_t>(text[mark + 1])) == key && IsWindowEnabled(button) &&
          IsWindowVisible(button)) {
        SendMessageW(button, BM_CLICK, 0, 0);
        return true;
      }
    }
  }
  return false;
}

void MainWindow::Command(Control control) {
  logic_->Click(control);
}

void MainWindow::Draw(const DRAWITEMSTRUCT& item) {
  const auto control = static_cast<Control>(item.CtlID - kFirstId);
  const ControlSpec& spec = window::Spec(control);
  HDC dc = item.hDC;
  const RECT& area = item.rcItem;
  switch (spec.kind) {
    case Kind::kRectangle:
      FillRect(dc, &area, BrushOf(Colour(*spec.fill)));
      FrameRect(dc, &area, BrushOf(RGB(192, 192, 192)));
      break;
    case Kind::kPicture: {
      // Our own 16-pixel badges: an "i" on the hint bar, a "?" beside the guide link.
      FillRect(dc, &area, BackgroundOf(spec, face_));
      HGDIOBJ brush = SelectObject(dc, BrushOf(Colour(*spec.fill)));
      HPEN pen = CreatePen(PS_SOLID, 1, Colour(*spec.fill));
      HGDIOBJ oldPen = SelectObject(dc, pen);
      Ellipse(dc, area.left, area.top, area.left + 16, area.top + 16);
      SelectObject(dc, oldPen);
      SelectObject(dc, brush);
      DeleteObject(pen);
      SelectObject(dc, FontOf({"Verdana", 8.25, true}));
      SetTextColor(dc, RGB(255, 255, 255));
      SetBkMode(dc, TRANSPARENT);
      RECT badge{area.left, area.top, area.left + 16, area.top + 16};
      const std::wstring sign = Wide(spec.text);
      DrawTextW(dc, sign.c_str(), -1, &badge, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
      break;
    }
    case Kind::kPathLabel: {
      FillRect(dc, &area, BackgroundOf(spec, face_));
      SelectObject(dc, FontOf(spec.font));
      SetTextColor(dc, IsWindowEnabled(item.hwndItem) ? Colour(spec.color.value_or(window::Rgb{}))
                                                      : GetSysColor(COLOR_GRAYTEXT));
      SetBkMode(dc, TRANSPARENT);
      RECT text = area;
      const std::wstring& shown = shown_[Index(control)];
      DrawTextW(dc, shown.c_str(), static_cast<int>(shown.size()), &text, kPathFlags);
      break;
    }
    default:
      break;
  }
}

LRESULT CALLBACK MainWindow::FrameProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_NCCREATE) Adopt(window, l);
  MainWindow* self = Owning(window);
  return self != nullptr ? self->OnFrame(window, message, w, l)
                         : DefWindowProcW(window, message, w, l);
}

LRESULT CALLBACK MainWindow::ClientProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_NCCREATE) Adopt(window, l);
  MainWindow* self = Owning(window);
  return self != nullptr ? self->OnClient(window, message, w, l)
                         : DefWindowProcW(window, message, w, l);
}

LRESULT MainWindow::OnFrame(HWND frame, UINT message, WPARAM w, LPARAM l) {
  switch (message) {
    case WM_ACTIVATE:
      // Back to the window, the focus goes back where it was, not to the frame.
      if (LOWORD(w) == WA_INACTIVE) {
        lastFocus_ = GetFocus();
      } else if (lastFocus_ != nullptr && IsWindowEnabled(lastFocus_) &&
                 IsWindowVisible(lastFocus_)) {
        ::SetFocus(lastFocus_);
        return 0;
      }
      break;
    case WM_CLOSE:
      logic_->Form_Unload();
      return 0;
    case WM_ENDSESSION:
      // Logging off or shutting down ends the program as closing the window does.
      if (w != 0) logic_->Form_Unload();
      return 0;
    case WM_HSCROLL:
    case WM_VSCROLL:
      Scroll(message == WM_HSCROLL ? SB_HORZ : SB_VERT, w);
      return 0;
    case WM_SETCURSOR:
      if (busy_) {
        SetCursor(LoadCursorW(nullptr, IDC_WAIT));
        return TRUE;
      }
      break;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return DefWindowProcW(frame, message, w, l);
}

LRESULT MainWindow::OnClient(HWND client, UINT message, WPARAM w, LPARAM l) {
  switch (message) {
    case WM_COMMAND:
      if (HIWORD(w) == BN_CLICKED) {  // STN_CLICKED too, for the link
        const int id = LOWORD(w) - kFirstId;
        if (id >= 0 && id < static_cast<int>(controls_.size())) Command(static_cast<Control>(id));
      }
      return 0;
    case WM_DRAWITEM:
      Draw(*reinterpret_cast<const DRAWITEMSTRUCT*>(l));
      return TRUE;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN: {
      HDC dc = reinterpret_cast<HDC>(w);
      const int id = GetDlgCtrlID(reinterpret_cast<HWND>(l)) - kFirstId;
      if (id < 0 || id >= static_cast<int>(controls_.size())) break;
      const ControlSpec& spec = window::Spec(static_cast<Control>(id));
      if (spec.color) SetTextColor(dc, Colour(*spec.color));
      if (spec.fill && spec.kind != Kind::kPicture) {
        SetBkColor(dc, Colour(*spec.fill));
        return reinterpret_cast<LRESULT>(BrushOf(Colour(*spec.fill)));
      }
      SetBkMode(dc, TRANSPARENT);
      return reinterpret_cast<LRESULT>(face_);
    }
    case WM_SETCURSOR:
      if (busy_) {
        SetCursor(LoadCursorW(nullptr, IDC_WAIT));
        return TRUE;
      }
      if (reinterpret_cast<HWND>(w) == Handle(Control::kLabel4)) {
        SetCursor(LoadCursorW(nullptr, IDC_HAND));
        return TRUE;
      }
      break;
    default:
      break;
  }
  return DefWindowProcW(client, message, w, l);
}

int RunMessageLoop(MainWindow& window) {
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (!window.PreTranslate(message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  return static_cast<int>(message.wParam);
}

}  // namespace crateline::win32
