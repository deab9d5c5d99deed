// The entry point of every program on Windows: builds the Win32 services and hands them over.
#include "platform/platform.h"
#include "platform/win32/win32_services.h"
#include "platform/win32/win32_toolkit.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  platform::win32::Win32Toolkit toolkit;
  platform::win32::Win32Clock clock;
  platform::win32::Win32Icmp icmp;
  platform::win32::Win32Files files;
  platform::win32::WmiOsQuery osQuery;
  platform::Platform platform{toolkit, clock, icmp, files, osQuery};
  try {
    return programMain(platform);
  } catch (...) {
    platform::win32::ReportCurrentException();
  }
}
