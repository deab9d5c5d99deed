// The window toolkit and progress bar on Win32 (wide-character functions).
#pragma once

#include <cmath>
#include <memory>
#include <vector>

#include "platform/toolkit.h"
#include "platform/win32/socket.h"
#include "platform/win32/system.h"
// After windows.h, which the system header brings.
#include <commctrl.h>

namespace platform::win32 {

class Win32Window;

// A static text, a picture or an owner-drawn button (so that its face can be yellow).
class Win32Control : public Button {
 public:
  Win32Control(HWND hwnd, const ControlDesign& design, bool isButton);
  void setCaption(const std::string& text) override;
  void setForeColour(Colour colour) override;
  void setEnabled(bool enabled) override;
  bool isEnabled() const override { return ::IsWindowEnabled(hwnd_) != FALSE; }
  void setOnClick(std::function<void()> handler) override { onClick_ = std::move(handler); }

  HWND hwnd() const { return hwnd_; }
  bool isButton() const { return isButton_; }
  const ControlDesign& design() const { return design_; }
  COLORREF foreColour() const { return fore_; }
  HBRUSH backBrush() const { return backBrush_.get(); }
  // A click as the user makes it: a disabled button does not react, whatever sent it.
  void click() const {
    if (onClick_ && ::IsWindowEnabled(hwnd_)) onClick_();
  }

 private:
  HWND hwnd_;
  ControlDesign design_;
  bool isButton_;
  COLORREF fore_;
  UniqueGdiObject<HBRUSH> backBrush_;
  std::function<void()> onClick_;
  bool focusReturns_ = false;
};

class Win32ProgressBar : public ProgressBar {
 public:
  explicit Win32ProgressBar(HWND hwnd) : hwnd_(hwnd) {}
  void setMax(float max) override { ::SendMessageW(hwnd_, PBM_SETRANGE32, 0, LPARAM(max)); }
  void setValue(float value) override {
    ::SendMessageW(hwnd_, PBM_SETPOS, WPARAM(std::lround(value)), 0);
  }
  void sendMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override;
  HWND hwnd() const { return hwnd_; }

 private:
  HWND hwnd_;
};

class Win32Toolkit;

class Win32Window : public WindowBase {
 public:
  Win32Window(Win32Toolkit& toolkit, const WindowDesign& design);
  ~Win32Window() override;
  Control& addStatic(const ControlDesign& d) override;
  Button& addButton(const ControlDesign& d) override;
  Control& addPicture(const ControlDesign& d) override;
  ProgressBar& addProgressBar(const ControlDesign& d) override;
  TcpSocket& addTcpSocket(const std::string& name) override;
  HWND hwnd() const { return hwnd_; }
  void show();
  // Presses the button that has the focus, if one has; false otherwise.
  bool pressFocusedButton();

 private:
  static LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
  void closed() override;
  HWND createChild(const wchar_t* className, DWORD style, const ControlDesign& d);
  RECT pixels(const TwipRect& twips) const;
  void layout();
  void drawButton(const DRAWITEMSTRUCT& item);
  Win32Control* controlOf(HWND hwnd) const;
  void showPicture();

  Win32Toolkit& toolkit_;
  WindowDesign design_;
  ComApartment com_;  // for the controls' annotations
  HWND hwnd_ = nullptr;
  UINT dpi_ = 96;
  HWND focus_ = nullptr;  // the control to give the focus to when the window is activated
  UniqueGdiObject<HFONT> font_;
  UniqueGdiObject<HBRUSH> background_;
  UniqueIcon pictureIcon_;
  const Win32Control* picture_ = nullptr;
  std::vector<std::unique_ptr<Win32Control>> controls_;
  std::unique_ptr<Win32ProgressBar> progressBar_;
  ControlDesign progressDesign_;
};

class Win32Toolkit : public Toolkit {
 public:
  std::unique_ptr<Window> createWindow(const WindowDesign& design) override;
  int run(Window& window) override;
  MessageAnswer messageBox(const std::string& text, const std::string& title,
                           MessageButtons buttons, MessageAnswer defaultButton) override;
  void doEvents() override;
  bool waitForEvents(TimePoint deadline) override;
  std::string commandLine() const override;
  void endProgram(int exitCode) override;
  std::unique_ptr<Notice> showNotice(const std::string& title, const std::string& text) override;
  // A mutex of the global namespace, seen from every session; the system lets it go with the
  // process.
  std::unique_ptr<Interface> holdMachineWide(const std::string& name) override;

  // Ends the message loop once control returns to it.
  void quit(int exitCode);
  // The window is going: nothing may use it any more.
  void forget(const Win32Window& window);

 private:
  void dispatch(MSG& msg);
  Win32Window* window_ = nullptr;
  bool running_ = false;  // inside run's message loop
  bool quit_ = false;
  int exitCode_ = 0;
};

// The command-line text after the program's own name, as the process received it, less one pair
// of quotes around the whole of it: no Windows file name holds a quote, and a caller quotes a name
// with spaces.
std::wstring ArgumentText(const std::wstring& commandLine);

}  // namespace platform::win32
