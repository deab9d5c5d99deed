// What the Win32 layer's parts share of the system: UTF-8 and UTF-16, handles owned by one object
// each, the system's words for an error, the socket library and COM, and the one resolver of
// host names.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>  // before windows.h, which would bring the old winsock
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "platform/icmp.h"
#include "platform/unique_handle.h"

namespace platform::win32 {

std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& wide);
std::string Utf8(const wchar_t* wide, int length);

// The system's description of an error code, in the user's language; a "%1" in it stands for
// the file the error is about.
std::string SystemText(DWORD code, const std::string& file = "");

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

void CloseSocket(SOCKET socket);
using UniqueSocket = UniqueHandle<ClosedBy<SOCKET, CloseSocket, INVALID_SOCKET>>;
template <class Object>
using UniqueGdiObject = UniqueHandle<ClosedBy<Object, ::DeleteObject>>;
using UniqueIcon = UniqueHandle<ClosedBy<HICON, ::DestroyIcon>>;
using UniqueWindow = UniqueHandle<ClosedBy<HWND, ::DestroyWindow>>;

// The socket library, started for as long as this object lives.
class WinsockSession : NonCopyable {
 public:
  explicit WinsockSession(BYTE major = 2, BYTE minor = 2);
  ~WinsockSession();

 private:
  bool started_ = false;
};

// COM on this thread for as long as the object lives, released on every way out.
class ComApartment : NonCopyable {
 public:
  ComApartment() : initialized_(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
  ~ComApartment() {
    if (initialized_) ::CoUninitialize();
  }

 private:
  bool initialized_;
};

// A path as the wide-character file functions take it past MAX_PATH: "\\?\C:\..." for a full
// path with a drive, "\\?\UNC\server\..." for a network one, any other path as it is.
std::wstring LongPath(const std::wstring& path);

// The program's own module.
HINSTANCE Instance();

// A window the system would not make (no display to show it on, for one): the program cannot go
// on without it.
[[noreturn]] void CannotCreate(const std::string& what);

// The host's first IPv4 address (a dotted address as it stands); on failure WSAGetLastError says
// why. The socket library must be started.
std::optional<Ipv4Address> ResolveFirstIpv4(const std::string& host);

}  // namespace platform::win32
