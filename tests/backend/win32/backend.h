// The Win32 layer as a contract backend, beside the fake.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "platform/win32/platform.h"
#include "tests/contract/real_backend.h"

namespace contract {

class Win32Backend : public RealBackend {
 public:
  platform::Platform& platform() override { return win32_.services; }
  std::string describe(const char* error) const override {
    return platform::win32::SystemMessage(std::string(error) == "reset" ? WSAECONNRESET
                                                                        : WSAECONNREFUSED);
  }
  // Wine hands a reset over as an orderly close, recv giving 0, with no error anywhere.
  bool seesResets() const override {
    return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") == nullptr;
  }
  bool refuseControls(platform::Window& window) override {
    return ::DestroyWindow(hwndOf(window)) != FALSE;  // no parent, no child windows
  }
  std::unique_ptr<platform::Folder> openFolder() override {
    return platform::win32::OpenFolder(folder());
  }
  void click(platform::Button& button) override {
    ::SendMessageW(static_cast<platform::win32::Win32Control&>(button).hwnd(), BM_CLICK, 0, 0);
  }
  void closeBox(platform::Window& window) override {
    ::SendMessageW(hwndOf(window), WM_SYSCOMMAND, SC_CLOSE, 0);
  }
  void closeFromOutside(platform::Window& window) override {  // the session ends
    ::SendMessageW(hwndOf(window), WM_QUERYENDSESSION, 0, 0);
  }

 private:
  static HWND hwndOf(platform::Window& w) {
    return static_cast<platform::win32::Win32Window&>(w).hwnd();
  }
  platform::win32::Win32Platform win32_;
};

}  // namespace contract
