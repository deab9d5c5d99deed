// Small helpers of the Win32 layer: UTF-8 and UTF-16, handles, error texts, the standard report.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>  // before windows.h, which would bring the old winsock
#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/unique_handle.h"

namespace platform::win32 {

std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& wide);
std::string Utf8(const wchar_t* wide, int length);

// The system's description of an error code, in the user's language; a "%1" in it stands for
// the file the error is about.
std::string SystemMessage(DWORD code, const std::string& file = "");

// Handles of the system, each owned by one object (platform::UniqueHandle).
struct KernelHandleTraits {
  using Value = HANDLE;
  static constexpr HANDLE none() { return nullptr; }
  static bool valid(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
  static void close(HANDLE handle) { ::CloseHandle(handle); }
};
using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;

struct FindHandleTraits : KernelHandleTraits {
  static void close(HANDLE handle) { ::FindClose(handle); }
};
using UniqueFindHandle = UniqueHandle<FindHandleTraits>;

struct SocketTraits {
  using Value = SOCKET;
  static constexpr SOCKET none() { return INVALID_SOCKET; }
  static void close(SOCKET socket);
};
using UniqueSocket = UniqueHandle<SocketTraits>;

template <class Object>
struct GdiObjectTraits {
  using Value = Object;
  static constexpr Object none() { return nullptr; }
  static void close(Object object) { ::DeleteObject(object); }
};
template <class Object>
using UniqueGdiObject = UniqueHandle<GdiObjectTraits<Object>>;

struct IconTraits {
  using Value = HICON;
  static constexpr HICON none() { return nullptr; }
  static void close(HICON icon) { ::DestroyIcon(icon); }
};
using UniqueIcon = UniqueHandle<IconTraits>;

struct WindowTraits {
  using Value = HWND;
  static constexpr HWND none() { return nullptr; }
  static void close(HWND window) { ::DestroyWindow(window); }
};
using UniqueWindow = UniqueHandle<WindowTraits>;

// The socket library, started for as long as this object lives.
class WinsockSession {
 public:
  explicit WinsockSession(BYTE major = 2, BYTE minor = 2);
  ~WinsockSession();
  WinsockSession(const WinsockSession&) = delete;
  WinsockSession& operator=(const WinsockSession&) = delete;

 private:
  bool started_ = false;
};

// COM on this thread for as long as the object lives, released on every way out.
class ComApartment {
 public:
  ComApartment() : initialized_(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
  ~ComApartment() {
    if (initialized_) ::CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

 private:
  bool initialized_;
};

// A path as the wide-character file functions take it past MAX_PATH: "\\?\C:\..." for a full
// path with a drive, "\\?\UNC\server\..." for a network one, any other path as it is.
std::wstring LongPath(const std::wstring& path);

// The standard report of the error being handled (a message box with its number and
// description), then the end of the process with exit code 1.
[[noreturn]] void ReportCurrentException();

// What the window shows, line by line, when PLATFORM_UI_LOG names a file (tests and demos).
void UiLog(const char* event, const std::string& control, const std::string& text);

}  // namespace platform::win32
