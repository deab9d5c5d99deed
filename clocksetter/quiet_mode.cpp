#include "clocksetter/quiet_mode.h"

namespace orvane {

bool IsQuietMode(const std::string& commandLine) {
  return commandLine.find("/Q") != std::string::npos || commandLine.find("/q") != std::string::npos;
}

}  // namespace orvane
