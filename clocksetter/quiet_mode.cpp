#include "clocksetter/quiet_mode.h"

#include <algorithm>

namespace orvane {

bool IsQuietMode(const std::string& commandLine) {
  std::string upper = commandLine;
  std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) {
    return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : char(c);
  });
  return upper.find("/Q") != std::string::npos;
}

}  // namespace orvane
