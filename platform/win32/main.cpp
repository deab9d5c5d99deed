// The entry point of every program on Windows: builds the Win32 services and hands them over.
#include "platform/report.h"
#include "platform/win32/platform.h"
#include "platform/win32/safe_start.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  platform::win32::StartSafely();
  platform::win32::Win32Platform win32;
  try {
    return programMain(win32.services);
  } catch (...) {
    platform::EndWithErrorReport();
  }
}
