// The Win32 services of one program, owned together, and the view the program is handed.
#pragma once

#include "platform/platform.h"
#include "platform/win32/win32_files.h"
#include "platform/win32/win32_services.h"
#include "platform/win32/win32_toolkit.h"

namespace platform::win32 {

struct Win32Platform {
  Win32Toolkit toolkit;
  Win32Clock clock;
  Win32Icmp icmp;
  Win32Files files;
  WmiOsQuery osQuery;
  Platform services{toolkit, clock, icmp, files, osQuery};
};

}  // namespace platform::win32
