// What a program is handed at start-up: the platform's services.
#pragma once

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/icmp.h"
#include "platform/osquery.h"
#include "platform/socket.h"
#include "platform/toolkit.h"

namespace platform {

struct Platform {
  Toolkit& toolkit;
  Clock& clock;
  Icmp& icmp;
  Network& network;
  Files& files;
  OsQuery& osQuery;
};

}  // namespace platform

// Each program defines this; each platform's entry point builds its services and calls it.
int programMain(platform::Platform& platform);
