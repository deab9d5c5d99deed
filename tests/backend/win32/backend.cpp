// The Win32 layer as the contract's backend, and the entry of its backend tests (run under Wine
// inside the lab).
// Started with RECORD_START, the program stands in for a started program instead: it records its
// folder and argument count.
#include "tests/contract/backend.h"

#include <winsock2.h>
#include <windows.h>

#include <fstream>

#include "platform/win32/platform.h"

namespace contract {

namespace {

class Win32Backend : public Backend {
 public:
  platform::Platform& platform() override { return win32_.services; }
  std::string describe(const char* error) const override {
    return platform::win32::SystemText(std::string(error) == "reset" ? WSAECONNRESET
                                                                     : WSAECONNREFUSED);
  }
  bool isWine() const override {
    return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
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

 private:
  static HWND hwndOf(platform::Window& w) {
    return static_cast<platform::win32::Win32Window&>(w).hwnd();
  }
  platform::win32::Win32Platform win32_;
};

}  // namespace

std::unique_ptr<Backend> MakeBackend() { return std::make_unique<Win32Backend>(); }

}  // namespace contract

// How a copy of this program ends, by the last bytes of its own file: "FAULT" by a real access
// violation (left to the system's handling of a crash), "NODLL" as the loader ends a program
// whose library is missing, "EXIT3" and "EXITM" with code 3 and -1, anything else normally.
int EndingOfThisCopy() {
  wchar_t self[MAX_PATH];
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::ifstream file(self, std::ios::binary | std::ios::ate);
  std::string tail(5, '\0');
  file.seekg(-5, std::ios::end);
  file.read(tail.data(), 5);
  if (tail == "NODLL") ::TerminateProcess(::GetCurrentProcess(), 0xC0000135);
  if (tail == "FAULT") *static_cast<volatile int*>(nullptr) = 1;
  return tail == "EXIT3" ? 3 : tail == "EXITM" ? -1 : 0;
}

int wmain(int argc, wchar_t** argv) {
  wchar_t record[MAX_PATH];
  if (::GetEnvironmentVariableW(L"RECORD_START", record, MAX_PATH) > 0) {
    wchar_t folder[MAX_PATH];
    const DWORD length = ::GetCurrentDirectoryW(MAX_PATH, folder);
    std::ofstream(record, std::ios::binary | std::ios::app)
        << platform::win32::Utf8(folder, int(length)) << "\n"
        << argc - 1 << "\n";
    return EndingOfThisCopy();
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
