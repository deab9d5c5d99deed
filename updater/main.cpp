#include "platform/platform.h"
#include "updater/Boot.h"

int programMain(platform::Platform& platform) { pelstow::Main(platform); }
