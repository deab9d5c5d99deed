// The Qt and POSIX services of one program, owned together, and the view the program is handed.
#pragma once

#include <string>
#include <utility>

#include "platform/platform.h"
#include "platform/qt/clock.h"
#include "platform/qt/files.h"
#include "platform/qt/icmp.h"
#include "platform/qt/osquery.h"
#include "platform/qt/socket.h"
#include "platform/qt/toolkit.h"

namespace platform::qt {

struct QtPlatform {
  // arguments: as ArgumentText took them; invokedAs: argv[0].
  QtPlatform(std::string arguments, std::string invokedAs)
      : toolkit(std::move(arguments)), files(std::move(invokedAs)) {}
  QtToolkit toolkit;
  PosixClock clock;
  PosixIcmp icmp;
  PosixNetwork network;
  PosixFiles files;
  QtOsQuery osQuery;
  Platform services{toolkit, clock, icmp, network, files, osQuery};
};

}  // namespace platform::qt
