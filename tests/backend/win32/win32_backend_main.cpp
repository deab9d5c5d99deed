// The Windows backend tests, run under Wine inside the lab. Started with RECORD_START set, the
// program stands in for a started program instead: it records its folder and argument count.
#include <gtest/gtest.h>

#include <cstdio>

#include "platform/win32/win32_util.h"

int wmain(int argc, wchar_t** argv) {
  wchar_t record[MAX_PATH];
  if (::GetEnvironmentVariableW(L"RECORD_START", record, MAX_PATH) > 0) {
    wchar_t folder[MAX_PATH];
    ::GetCurrentDirectoryW(MAX_PATH, folder);
    if (FILE* out = ::_wfopen(record, L"wb")) {
      static_cast<void>(std::fprintf(
          out, "%s\n%d\n", platform::win32::Utf8(folder, int(wcslen(folder))).c_str(), argc - 1));
      static_cast<void>(std::fclose(out));
    }
    return 0;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
