#include "platform/win32/system.h"

#include <ws2tcpip.h>

#include <cstring>

#include "platform/error.h"
#include "platform/win32/safe_start.h"

namespace platform::win32 {

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int length = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
  std::wstring wide(std::size_t(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), wide.data(), length);
  return wide;
}

std::string Utf8(const wchar_t* wide, int length) {
  if (length <= 0) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
  std::string utf8(std::size_t(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide, length, utf8.data(), size, nullptr, nullptr);
  return utf8;
}

std::string Utf8(const std::wstring& wide) { return Utf8(wide.data(), int(wide.size())); }

void CloseSocket(SOCKET socket) { SYSTEM_CALL(L"ws2_32.dll", closesocket)(socket); }

WinsockSession::WinsockSession(BYTE major, BYTE minor) {
  WSADATA data;
  started_ = SYSTEM_CALL(L"ws2_32.dll", WSAStartup)(MAKEWORD(major, minor), &data) == 0;
}

WinsockSession::~WinsockSession() {
  if (started_) SYSTEM_CALL(L"ws2_32.dll", WSACleanup)();
}

std::wstring LongPath(const std::wstring& path) {
  const bool hasDrive = path.size() >= 3 && path[1] == L':' && path[2] == L'\\';
  if (hasDrive) return L"\\\\?\\" + path;
  const bool isNetwork = path.size() > 2 && path[0] == L'\\' && path[1] == L'\\' && path[2] != L'?';
  if (isNetwork) return L"\\\\?\\UNC\\" + path.substr(2);
  return path;
}

std::string SystemText(DWORD code, const std::string& file) {
  wchar_t* buffer = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = length ? std::wstring(buffer, length) : L"";
  if (buffer) ::LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
    text.pop_back();
  if (text.empty()) return "錯誤 " + std::to_string(code);
  std::string message = Utf8(text);
  for (std::size_t at = 0; (at = message.find("%1", at)) != std::string::npos; at += file.size())
    message.replace(at, 2, file);
  return message;
}

HINSTANCE Instance() { return ::GetModuleHandleW(nullptr); }

void CannotCreate(const std::string& what) {
  const DWORD error = ::GetLastError();
  const DWORD code = error != 0 ? error : DWORD(ERROR_INVALID_WINDOW_HANDLE);
  throw Error(std::int32_t(code), "無法建立視窗「" + what + "」：" + SystemText(code));
}

std::optional<Ipv4Address> ResolveFirstIpv4(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (SYSTEM_CALL(L"ws2_32.dll", getaddrinfo)(host.c_str(), nullptr, &hints, &found) != 0)
    return std::nullopt;
  Ipv4Address address;
  std::memcpy(address.data(), &reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr, 4);
  SYSTEM_CALL(L"ws2_32.dll", freeaddrinfo)(found);
  return address;
}

}  // namespace platform::win32
