// Small helpers of the Win32 layer: UTF-8 and UTF-16, handles, error texts, the standard report.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>  // before windows.h, which would bring the old winsock
#include <windows.h>

#include <cstdint>
#include <string>

namespace platform::win32 {

std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& wide);
std::string Utf8(const wchar_t* wide, int length);

// The system's description of an error code, in the user's language.
std::string SystemMessage(DWORD code);

// Closes a kernel handle when it goes out of scope.
class Handle {
 public:
  explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  ~Handle() { reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  void reset() {
    if (valid()) ::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE handle_;
};

// The standard report of the error being handled (a message box with its number and
// description), then the end of the process with exit code 1.
[[noreturn]] void ReportCurrentException();

// What the window shows, line by line, when PLATFORM_UI_LOG names a file (tests and demos).
void UiLog(const char* event, const std::string& control, const std::string& text);

}  // namespace platform::win32
