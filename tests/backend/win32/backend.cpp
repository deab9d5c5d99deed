// The entry of the Win32 layer's backend tests (run under Wine inside the lab), and its backends.
// Started with RECORD_START, the program stands in for a started program instead: it records its
// folder and argument count.
#include "tests/backend/win32/backend.h"

#include <winsock2.h>
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <fstream>

#include "platform/error.h"
#include "platform/win32/platform.h"
#include "tests/backend/backend_env.h"

namespace contract {

std::vector<BackendMaker> Backends() {
  return {{"Fake", MakeFakeBackend}, {"Win32", [] { return std::make_unique<Win32Backend>(); }}};
}

}  // namespace contract

int wmain(int argc, wchar_t** argv) {
  wchar_t record[MAX_PATH];
  if (::GetEnvironmentVariableW(L"RECORD_START", record, MAX_PATH) > 0) {
    wchar_t folder[MAX_PATH];
    const DWORD length = ::GetCurrentDirectoryW(MAX_PATH, folder);
    std::ofstream(record, std::ios::binary) << platform::win32::Utf8(folder, int(length)) << "\n"
                                            << argc - 1 << "\n";
    return 0;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
