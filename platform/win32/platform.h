// The Win32 services of one program, owned together, and the view the program is handed.
#pragma once

#include "platform/platform.h"
#include "platform/win32/clock.h"
#include "platform/win32/files.h"
#include "platform/win32/icmp.h"
#include "platform/win32/osquery.h"
#include "platform/win32/socket.h"
#include "platform/win32/toolkit.h"

namespace platform::win32 {

struct Win32Platform {
  Win32Toolkit toolkit;
  Win32Clock clock;
  Win32Icmp icmp;
  Win32Network network;
  Win32Files files;
  WmiOsQuery osQuery;
  Platform services{toolkit, clock, icmp, network, files, osQuery};
};

}  // namespace platform::win32
