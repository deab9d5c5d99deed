// The Qt and POSIX services of one program, owned together, and the view the program is handed.
#pragma once

#include <string>
#include <utility>

#include "platform/platform.h"
#include "platform/qt/posix_clock.h"
#include "platform/qt/posix_files.h"
#include "platform/qt/posix_icmp.h"
#include "platform/qt/qt_osquery.h"
#include "platform/qt/qt_toolkit.h"

namespace platform::qt {

struct QtPlatform {
  // arguments: as ArgumentText took them; invokedAs: argv[0].
  QtPlatform(std::string arguments, std::string invokedAs)
      : toolkit(std::move(arguments)), files(std::move(invokedAs)) {}
  QtToolkit toolkit;
  PosixClock clock;
  PosixIcmp icmp;
  PosixFiles files;
  QtOsQuery osQuery;
  Platform services{toolkit, clock, icmp, files, osQuery};
};

}  // namespace platform::qt
