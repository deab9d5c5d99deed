#include "platform/win32/win32_util.h"

#include <cstdio>

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

void SocketTraits::close(SOCKET socket) { SYSTEM_CALL(L"ws2_32.dll", closesocket)(socket); }

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

std::string SystemMessage(DWORD code, const std::string& file) {
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

void ReportCurrentException() {
  wchar_t path[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring title(path, length);
  title = title.substr(title.find_last_of(L"\\/") + 1);
  title = title.substr(0, title.rfind(L'.'));
  const std::string text = platform::CurrentErrorReport().text();
  static_cast<void>(std::fprintf(stderr, "%s: %s\n", Utf8(title).c_str(), text.c_str()));
  static_cast<void>(std::fflush(stderr));
  UiLog("messagebox", Utf8(title), text);
  ::MessageBoxW(nullptr, Wide(text).c_str(), title.c_str(), MB_OK | MB_TASKMODAL);
  ::ExitProcess(1);
}

void UiLog(const char* event, const std::string& control, const std::string& text) {
  static FILE* log = [] {
    wchar_t path[32768];
    const DWORD length = ::GetEnvironmentVariableW(L"PLATFORM_UI_LOG", path, 32768);
    return length > 0 && length < 32768 ? ::_wfopen(path, L"ab") : nullptr;
  }();
  if (!log) return;
  std::string line = text;
  for (std::size_t at = 0; (at = line.find('\n', at)) != std::string::npos;)
    line.replace(at, 1, "\\n");
  static_cast<void>(std::fprintf(log, "%s\t%s\t%s\n", event, control.c_str(), line.c_str()));
  static_cast<void>(std::fflush(log));
}

}  // namespace platform::win32
