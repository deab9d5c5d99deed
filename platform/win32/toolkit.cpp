#include "platform/win32/toolkit.h"

#include <commctrl.h>
#include <oleacc.h>
#include <uxtheme.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "platform/error.h"
#include "platform/report.h"
#include "platform/win32/safe_start.h"

namespace platform::win32 {

namespace {

constexpr UINT kActivateMessage = WM_APP + 1;
constexpr wchar_t kFormClass[] = L"PlatformForm";
constexpr wchar_t kNoticeClass[] = L"PlatformNotice";

// A control's name for assistive technology where it is not its caption (a value, named by its
// heading): Windows' dynamic annotation of the standard control. Where the system has none (Wine),
// the control keeps the name its caption gives it.
void Annotate(HWND control, const std::string& name) {
  constexpr GUID kAccPropServices = {
      0xb5f8350b, 0x0548, 0x48b1, {0xa6, 0xee, 0x88, 0xbd, 0x00, 0xb4, 0xa5, 0xe7}};
  constexpr GUID kIAccPropServices = {
      0x6e26e776, 0x04f0, 0x495d, {0x80, 0xe4, 0x33, 0x30, 0x35, 0x2e, 0x31, 0x69}};
  constexpr GUID kName = {
      0x608d3df8, 0x8128, 0x4aa7, {0xa4, 0x28, 0xf5, 0x5e, 0x49, 0x26, 0x72, 0x91}};
  IAccPropServices* services = nullptr;
  if (name.empty() ||
      FAILED(::CoCreateInstance(kAccPropServices, nullptr, CLSCTX_INPROC_SERVER, kIAccPropServices,
                                reinterpret_cast<void**>(&services))))
    return;
  std::wstring text = Wide(name);
  services->SetHwndPropStr(control, DWORD(OBJID_CLIENT), CHILDID_SELF, kName, text.data());
  services->Release();
}

// 新細明體 9 pt with the Big5 character set, so that the system picks a font with the glyphs.
HFONT ChineseFont(UINT dpi) {
  return ::CreateFontW(-::MulDiv(9, int(dpi), 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                       CHINESEBIG5_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                       DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"新細明體");
}

void RegisterClasses() {
  [[maybe_unused]] static const bool registered = [] {
    WNDCLASSEXW form{};
    form.cbSize = sizeof form;
    form.lpfnWndProc = ::DefWindowProcW;
    form.hInstance = Instance();
    form.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    form.hIcon = ::LoadIconW(Instance(), MAKEINTRESOURCEW(1));
    form.lpszClassName = kFormClass;
    ::RegisterClassExW(&form);
    WNDCLASSEXW notice = form;
    notice.hCursor = ::LoadCursorW(nullptr, IDC_WAIT);
    notice.hbrBackground = ::GetSysColorBrush(COLOR_BTNFACE);
    notice.lpszClassName = kNoticeClass;
    ::RegisterClassExW(&notice);
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES;
    SYSTEM_CALL(L"comctl32.dll", InitCommonControlsEx)(&controls);
    return true;
  }();
}

}  // namespace

// --- Controls ---------------------------------------------------------------------------------

Win32Control::Win32Control(HWND hwnd, const ControlDesign& design, bool isButton)
    : hwnd_(hwnd), design_(design), isButton_(isButton), fore_(design.foreColour) {
  if (design.hasBackColour) backBrush_.reset(::CreateSolidBrush(design.backColour));
}

void Win32Control::setCaption(const std::string& text) {
  ::SetWindowTextW(hwnd_, Wide(text).c_str());
  UiLog("caption", design_.name, text);
}

void Win32Control::setForeColour(Colour colour) {
  fore_ = colour;
  ::InvalidateRect(hwnd_, nullptr, TRUE);
}

// A button disabled while it has the focus hands it on to the next one and takes it back when it
// is enabled again: the key that started a run starts the next one too.
void Win32Control::setEnabled(bool enabled) {
  const bool focused = ::GetFocus() == hwnd_;
  if (!enabled && focused && isButton_) focusReturns_ = true;
  ::EnableWindow(hwnd_, enabled);
  if (!enabled && focused) {
    HWND next = ::GetNextDlgTabItem(::GetParent(hwnd_), hwnd_, FALSE);
    if (next != nullptr && next != hwnd_) ::SetFocus(next);
  }
  if (enabled && focusReturns_) {
    focusReturns_ = false;
    ::SetFocus(hwnd_);
  }
  if (isButton_) UiLog("enabled", design_.name, enabled ? "1" : "0");
}

void Win32ProgressBar::sendMessage(std::uint32_t message, std::uintptr_t wParam,
                                   std::intptr_t lParam) {
  ::SendMessageW(hwnd_, message, wParam, lParam);
}

// --- Window -----------------------------------------------------------------------------------

Win32Window::Win32Window(Win32Toolkit& toolkit, const WindowDesign& design)
    : toolkit_(toolkit), design_(design) {
  RegisterClasses();
  background_.reset(::CreateSolidBrush(design.backColour));
  constexpr DWORD style =
      WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
  hwnd_ = ::CreateWindowExW(0, kFormClass, Wide(design.caption).c_str(), style, CW_USEDEFAULT,
                            CW_USEDEFAULT, 100, 100, nullptr, nullptr, Instance(), nullptr);
  if (hwnd_ == nullptr) CannotCreate(design.caption);
  ::SetWindowLongPtrW(hwnd_, GWLP_USERDATA, LONG_PTR(this));
  ::SetWindowLongPtrW(hwnd_, GWLP_WNDPROC, LONG_PTR(&windowProc));
  dpi_ = ::GetDpiForWindow(hwnd_);
  if (dpi_ == 0) dpi_ = 96;
  layout();
}

Win32Window::~Win32Window() {
  toolkit_.forget(*this);
  ::DestroyWindow(hwnd_);
  controls_.clear();
}

RECT Win32Window::pixels(const TwipRect& t) const {
  const auto px = [this](int twips) { return ::MulDiv(twips, int(dpi_), 1440); };
  return RECT{px(t.left), px(t.top), px(t.left) + px(t.width), px(t.top) + px(t.height)};
}

// Sizes the window and places every control for the window's present DPI.
void Win32Window::layout() {
  RECT client = pixels({0, 0, design_.clientWidthTwips, design_.clientHeightTwips});
  const DWORD style = DWORD(::GetWindowLongW(hwnd_, GWL_STYLE));
  ::AdjustWindowRectExForDpi(&client, style, FALSE, 0, dpi_);
  ::SetWindowPos(hwnd_, nullptr, 0, 0, client.right - client.left, client.bottom - client.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  font_.reset(ChineseFont(dpi_));
  const auto place = [this](HWND child, const TwipRect& twips) {
    const RECT r = pixels(twips);
    ::SetWindowPos(child, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
    ::SendMessageW(child, WM_SETFONT, WPARAM(font_.get()), TRUE);
  };
  for (const auto& control : controls_) place(control->hwnd(), control->design().rect);
  if (progressBar_) place(progressBar_->hwnd(), progressDesign_.rect);
  showPicture();
}

HWND Win32Window::createChild(const wchar_t* className, DWORD style, const ControlDesign& d) {
  const RECT r = pixels(d.rect);
  HWND child = ::CreateWindowExW(
      0, className, Wide(d.caption).c_str(), WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | style,
      r.left, r.top, r.right - r.left, r.bottom - r.top, hwnd_, nullptr, Instance(), nullptr);
  if (child == nullptr) CannotCreate(d.name);
  ::SendMessageW(child, WM_SETFONT, WPARAM(font_.get()), FALSE);
  Annotate(child, d.accessibleName);
  // Later controls lie above earlier ones, as in the design (the buttons over the band).
  ::SetWindowPos(child, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  return child;
}

Control& Win32Window::addStatic(const ControlDesign& d) {
  HWND child = createChild(L"STATIC", SS_LEFT | SS_CENTERIMAGE | SS_NOPREFIX, d);
  controls_.push_back(std::make_unique<Win32Control>(child, d, false));
  return *controls_.back();
}

Button& Win32Window::addButton(const ControlDesign& d) {
  HWND child = createChild(L"BUTTON", BS_OWNERDRAW | WS_TABSTOP, d);
  controls_.push_back(std::make_unique<Win32Control>(child, d, true));
  return *controls_.back();
}

Control& Win32Window::addPicture(const ControlDesign& d) {
  HWND child = createChild(L"STATIC", SS_ICON, d);
  controls_.push_back(std::make_unique<Win32Control>(child, d, false));
  picture_ = controls_.back().get();
  showPicture();
  return *controls_.back();
}

// The clock face's 32-pixel design (icon 2), drawn at the size its box has at the window's DPI.
void Win32Window::showPicture() {
  if (picture_ == nullptr) return;
  const RECT box = pixels(picture_->design().rect);
  UniqueIcon icon(static_cast<HICON>(::LoadImageW(Instance(), MAKEINTRESOURCEW(2), IMAGE_ICON,
                                                  box.right - box.left, box.bottom - box.top, 0)));
  if (!icon) return;
  ::SendMessageW(picture_->hwnd(), STM_SETICON, WPARAM(icon.get()), 0);
  pictureIcon_ = std::move(icon);  // the one it replaced goes only now
}

namespace {

// Paints the progress control the classic way from its own state, so that the two colour
// messages take effect whatever theme engine is in use (some reopen a theme regardless).
LRESULT CALLBACK ClassicProgressProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                                     UINT_PTR, DWORD_PTR) {
  if (message != WM_PAINT)
    return SYSTEM_CALL(L"comctl32.dll", DefSubclassProc)(hwnd, message, wParam, lParam);
  PAINTSTRUCT paint;
  HDC dc = ::BeginPaint(hwnd, &paint);
  RECT r;
  ::GetClientRect(hwnd, &r);
  const auto colour = [hwnd](UINT get, int fallback) {
    const COLORREF c = COLORREF(::SendMessageW(hwnd, get, 0, 0));
    return c == CLR_DEFAULT ? ::GetSysColor(fallback) : c;
  };
  HBRUSH bar = ::CreateSolidBrush(colour(PBM_GETBARCOLOR, COLOR_HIGHLIGHT));
  HBRUSH back = ::CreateSolidBrush(colour(PBM_GETBKCOLOR, COLOR_3DFACE));
  ::FrameRect(dc, &r, back);
  ::InflateRect(&r, -1, -1);
  PBRANGE range;
  ::SendMessageW(hwnd, PBM_GETRANGE, FALSE, LPARAM(&range));
  const int span = std::max(range.iHigh - range.iLow, 1);
  const int position = int(::SendMessageW(hwnd, PBM_GETPOS, 0, 0)) - range.iLow;
  RECT filled = r, rest = r;
  filled.right = rest.left =
      r.left + ::MulDiv(r.right - r.left, std::clamp(position, 0, span), span);
  ::FillRect(dc, &filled, bar);
  ::FillRect(dc, &rest, back);
  ::DeleteObject(bar);
  ::DeleteObject(back);
  ::EndPaint(hwnd, &paint);
  return 0;
}

}  // namespace

ProgressBar& Win32Window::addProgressBar(const ControlDesign& d) {
  HWND child = createChild(PROGRESS_CLASSW, PBS_SMOOTH, d);
  // Visual styles draw their own bar and ignore the colour messages: turn them off here.
  SYSTEM_CALL(L"uxtheme.dll", SetWindowTheme)(child, L"", L"");
  SYSTEM_CALL(L"comctl32.dll", SetWindowSubclass)(child, &ClassicProgressProc, 1, 0);
  progressDesign_ = d;
  progressBar_ = std::make_unique<Win32ProgressBar>(child);
  return *progressBar_;
}

TcpSocket& Win32Window::addTcpSocket(const std::string& name) {
  return ownSocket(std::make_unique<Win32TcpSocket>(name));
}

bool Win32Window::pressFocusedButton() {
  const Win32Control* control = controlOf(::GetFocus());
  if (control == nullptr || !control->isButton()) return false;
  Guarded([control] { control->click(); });
  return true;
}

Win32Control* Win32Window::controlOf(HWND hwnd) const {
  for (const auto& control : controls_)
    if (control->hwnd() == hwnd) return control.get();
  return nullptr;
}

void Win32Window::closed() {
  UiLog("unload", design_.caption, "");
  ::ShowWindow(hwnd_, SW_HIDE);
  toolkit_.quit(0);
}

void Win32Window::show() {
  ::ShowWindow(hwnd_, SW_SHOWNORMAL);
  ::UpdateWindow(hwnd_);
  // The keyboard starts on the first button of the design, as in a dialog.
  for (const auto& control : controls_)
    if (control->isButton() && focus_ == nullptr) focus_ = control->hwnd();
  ::SetFocus(focus_);
  ::PostMessageW(hwnd_, kActivateMessage, 0, 0);
}

void Win32Window::drawButton(const DRAWITEMSTRUCT& item) {
  const Win32Control* control = controlOf(item.hwndItem);
  if (!control) return;
  RECT r = item.rcItem;
  ::FillRect(item.hDC, &r,
             control->backBrush() ? control->backBrush() : ::GetSysColorBrush(COLOR_BTNFACE));
  const bool pressed = (item.itemState & ODS_SELECTED) != 0;
  ::DrawEdge(item.hDC, &r, pressed ? EDGE_SUNKEN : EDGE_RAISED, BF_RECT);
  ::SetBkMode(item.hDC, TRANSPARENT);
  ::SetTextColor(item.hDC, (item.itemState & ODS_DISABLED) ? ::GetSysColor(COLOR_GRAYTEXT)
                                                           : control->foreColour());
  std::array<wchar_t, 64> text{};  // a button's caption is a word or two
  const int length = ::GetWindowTextW(item.hwndItem, text.data(), int(text.size()));
  HGDIOBJ old = ::SelectObject(item.hDC, font_.get());
  if (pressed) ::OffsetRect(&r, 1, 1);
  ::DrawTextW(item.hDC, text.data(), length, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
  ::SelectObject(item.hDC, old);
  if (item.itemState & ODS_FOCUS) {
    RECT focus = item.rcItem;
    ::InflateRect(&focus, -4, -4);
    ::DrawFocusRect(item.hDC, &focus);
  }
}

LRESULT Win32Window::handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kActivateMessage:
      Guarded([&] { activateOnce(); });
      return 0;
    // As a dialog does: the focus goes back to the control that had it when the window was last
    // active, where the system would give it to the window itself.
    case WM_ACTIVATE:
      if (LOWORD(wParam) == WA_INACTIVE) {
        if (HWND focused = ::GetFocus(); focused != nullptr && ::IsChild(hwnd_, focused))
          focus_ = focused;
      } else if (HWND focused = ::GetFocus(); focus_ != nullptr && !::IsChild(hwnd_, focused)) {
        ::SetFocus(focus_);
      }
      return 0;
    case WM_ERASEBKGND: {
      RECT r;
      ::GetClientRect(hwnd_, &r);
      ::FillRect(HDC(wParam), &r, background_.get());
      return 1;
    }
    case WM_CTLCOLORSTATIC: {
      const Win32Control* control = controlOf(HWND(lParam));
      if (!control) break;
      ::SetTextColor(HDC(wParam), control->foreColour());
      ::SetBkMode(HDC(wParam), TRANSPARENT);
      return LRESULT(control->backBrush() ? control->backBrush() : background_.get());
    }
    case WM_DRAWITEM:
      drawButton(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
      return TRUE;
    case WM_COMMAND:
      // The second click of a quick pair comes as a double click: it is a click all the same.
      if (HIWORD(wParam) == BN_CLICKED || HIWORD(wParam) == BN_DOUBLECLICKED) {
        if (const Win32Control* control = controlOf(HWND(lParam)))
          Guarded([&] { control->click(); });
        return 0;
      }
      break;
    case WM_SYSCOMMAND:  // the close box, the system menu's Close, Alt+F4
      if ((wParam & 0xFFF0) != SC_CLOSE) break;
      Guarded([&] { requestClose(UnloadMode::ControlMenu); });
      return 0;
    case WM_CLOSE:  // another program asks
      Guarded([&] { requestClose(UnloadMode::TaskManager); });
      return 0;
    case WM_QUERYENDSESSION: {
      bool closed = false;
      Guarded([&] { closed = requestClose(UnloadMode::AppWindows); });
      return closed;
    }
    case WM_DPICHANGED: {
      dpi_ = HIWORD(wParam);
      layout();
      const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
      ::SetWindowPos(hwnd_, nullptr, suggested->left, suggested->top, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }
  }
  return ::DefWindowProcW(hwnd_, message, wParam, lParam);
}

LRESULT CALLBACK Win32Window::windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<Win32Window*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!self) return ::DefWindowProcW(hwnd, message, wParam, lParam);
  return self->handle(message, wParam, lParam);
}

// --- Toolkit ----------------------------------------------------------------------------------

std::unique_ptr<Window> Win32Toolkit::createWindow(const WindowDesign& design) {
  auto window = std::make_unique<Win32Window>(*this, design);
  window_ = window.get();
  return window;
}

void Win32Toolkit::dispatch(MSG& msg) {
  const bool live = window_ != nullptr && !window_->isUnloaded();
  // Return and Enter press the focused button, as Space does, once per stroke.
  const bool enter = msg.message == WM_KEYDOWN && msg.wParam == VK_RETURN;
  const bool repeated = (msg.lParam & (LPARAM(1) << 30)) != 0;
  if (live && enter && (repeated || window_->pressFocusedButton())) return;
  if (live && ::IsDialogMessageW(window_->hwnd(), &msg)) return;
  ::TranslateMessage(&msg);
  ::DispatchMessageW(&msg);
}

int Win32Toolkit::run(Window& window) {
  static_cast<Win32Window&>(window).show();
  running_ = true;
  MSG msg;
  while (!quit_ && ::GetMessageW(&msg, nullptr, 0, 0) > 0) dispatch(msg);
  running_ = false;
  return exitCode_;
}

MessageAnswer Win32Toolkit::messageBox(const std::string& text, const std::string& title,
                                       MessageButtons buttons, MessageAnswer defaultButton) {
  UiLog("messagebox", title, text);
  HWND owner = window_ && !window_->isUnloaded() ? window_->hwnd() : nullptr;
  UINT flags = buttons == MessageButtons::YesNo ? MB_YESNO : MB_OK;
  if (buttons == MessageButtons::YesNo && defaultButton == MessageAnswer::No)
    flags |= MB_DEFBUTTON2;
  if (!owner) flags |= MB_TASKMODAL | MB_SETFOREGROUND;
  return MessageAnswer(::MessageBoxW(owner, Wide(text).c_str(), Wide(title).c_str(), flags));
}

void Win32Toolkit::doEvents() {
  // What is pending now, not what comes meanwhile: a peer that keeps sending posts a new message
  // for every read.
  const DWORD start = ::GetTickCount();
  MSG msg;
  while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      quit(int(msg.wParam));
      return;
    }
    dispatch(msg);
    if (LONG(msg.time - start) > 0) return;
  }
}

bool Win32Toolkit::waitForEvents(TimePoint deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return false;
  ::MsgWaitForMultipleObjectsEx(0, nullptr, DWORD(left.count()), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  doEvents();
  return true;
}

std::wstring ArgumentText(const std::wstring& line) {
  std::size_t at = 0;
  if (!line.empty() && line[0] == L'"') {
    at = line.find(L'"', 1);
    at = at == std::wstring::npos ? line.size() : at + 1;
  } else {
    while (at < line.size() && line[at] != L' ' && line[at] != L'\t') ++at;
  }
  while (at < line.size() && (line[at] == L' ' || line[at] == L'\t')) ++at;
  std::wstring arguments = line.substr(at);
  if (arguments.size() >= 2 && arguments.front() == L'"' &&
      arguments.find(L'"', 1) == arguments.size() - 1)
    arguments = arguments.substr(1, arguments.size() - 2);
  return arguments;
}

std::string Win32Toolkit::commandLine() const { return Utf8(ArgumentText(::GetCommandLineW())); }

void Win32Toolkit::endProgram(int exitCode) {
  if (running_) return quit(exitCode);
  ::TerminateProcess(::GetCurrentProcess(), UINT(exitCode));
  ::ExitProcess(UINT(exitCode));
}

namespace {

// A small window of the program's own in the middle of the screen: its title and one line.
class Win32Notice : public Notice {
 public:
  Win32Notice(const std::string& title, const std::string& text) {
    RegisterClasses();
    const int dpi = int(::GetDpiForSystem());
    font_.reset(ChineseFont(UINT(dpi)));
    const std::wstring line = Wide(text);
    RECT size{0, 0, 0, 0};
    {
      HDC dc = ::GetDC(nullptr);
      HGDIOBJ old = ::SelectObject(dc, font_.get());
      ::DrawTextW(dc, line.c_str(), int(line.size()), &size, DT_CALCRECT | DT_SINGLELINE);
      ::SelectObject(dc, old);
      ::ReleaseDC(nullptr, dc);
    }
    const int margin = ::MulDiv(16, dpi, 96);
    RECT frame{0, 0, size.right + 2 * margin, size.bottom + 2 * margin};
    constexpr DWORD style = WS_POPUP | WS_CAPTION;
    ::AdjustWindowRectExForDpi(&frame, style, FALSE, WS_EX_DLGMODALFRAME, UINT(dpi));
    const int width = frame.right - frame.left, height = frame.bottom - frame.top;
    window_.reset(::CreateWindowExW(WS_EX_DLGMODALFRAME, kNoticeClass, Wide(title).c_str(), style,
                                    (::GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                                    (::GetSystemMetrics(SM_CYSCREEN) - height) / 2, width, height,
                                    nullptr, nullptr, Instance(), nullptr));
    if (!window_) return;  // a notice that cannot be shown is no reason to stop the work
    HWND label = ::CreateWindowExW(
        0, L"STATIC", line.c_str(), WS_CHILD | WS_VISIBLE | SS_CENTER | SS_NOPREFIX, margin, margin,
        size.right, size.bottom, window_.get(), nullptr, Instance(), nullptr);
    ::SendMessageW(label, WM_SETFONT, WPARAM(font_.get()), FALSE);
    UiLog("notice", title, text);
    title_ = title;
    ::ShowWindow(window_.get(), SW_SHOWNORMAL);
    ::UpdateWindow(window_.get());
  }
  ~Win32Notice() override {
    if (window_) UiLog("notice-closed", title_, "");
  }

 private:
  UniqueGdiObject<HFONT> font_;  // outlives the window that uses it
  UniqueWindow window_;
  std::string title_;
};

}  // namespace

std::unique_ptr<Notice> Win32Toolkit::showNotice(const std::string& title,
                                                 const std::string& text) {
  return std::make_unique<Win32Notice>(title, text);
}

std::unique_ptr<Interface> Win32Toolkit::holdMachineWide(const std::string& name) {
  // Another session's mutex may also be one this user may not open: held all the same.
  UniqueKernelHandle mutex(::CreateMutexW(nullptr, FALSE, (L"Global\\" + Wide(name)).c_str()));
  if (!mutex || ::GetLastError() == ERROR_ALREADY_EXISTS) return nullptr;
  return std::make_unique<Holding<UniqueKernelHandle>>(std::move(mutex));
}

void Win32Toolkit::forget(const Win32Window& window) {
  if (window_ == &window) window_ = nullptr;
}

void Win32Toolkit::quit(int exitCode) {
  quit_ = true;
  exitCode_ = exitCode;
  ::PostThreadMessageW(::GetCurrentThreadId(), WM_NULL, 0, 0);  // wakes GetMessage
}

}  // namespace platform::win32

namespace platform::layer {

std::string ProgramName() {
  std::wstring path(MAX_PATH, L'\0');
  path.resize(::GetModuleFileNameW(nullptr, path.data(), DWORD(path.size())));
  path = path.substr(path.find_last_of(L"\\/") + 1);
  return win32::Utf8(path.substr(0, path.rfind(L'.')));
}

// In front: the report may come after another program was started (a new version taken back),
// which would otherwise keep the foreground.
void ShowReportBox(const std::string& title, const std::string& text) {
  ::MessageBoxW(nullptr, win32::Wide(text).c_str(), win32::Wide(title).c_str(),
                MB_OK | MB_TASKMODAL | MB_SETFOREGROUND);
}

std::string Displayable(const std::string& text) { return text; }  // the system's UTF-16 as UTF-8

std::FILE* OpenUiLog() {
  std::wstring path(32768, L'\0');
  const DWORD length = ::GetEnvironmentVariableW(L"PLATFORM_UI_LOG", path.data(), 32768);
  if (length == 0 || length >= 32768) return nullptr;
  path.resize(length);
  return ::_wfopen(path.c_str(), L"ab");
}

}  // namespace platform::layer
