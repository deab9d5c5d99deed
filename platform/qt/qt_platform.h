// The Qt and POSIX services of one program, owned together, and the view the program is handed.
#pragma once

#include <string>
#include <utility>

#include "platform/platform.h"
#include "platform/qt/posix_clock.h"
#include "platform/qt/posix_files.h"
#include "platform/qt/posix_icmp.h"
#include "platform/qt/qt_toolkit.h"

namespace platform::qt {

struct QtPlatform {
  explicit QtPlatform(std::string arguments) : toolkit(std::move(arguments)) {}
  QtToolkit toolkit;
  PosixClock clock;
  PosixIcmp icmp;
  PosixFiles files;
  QtOsQuery osQuery;
  Platform services{toolkit, clock, icmp, files, osQuery};
};

}  // namespace platform::qt
