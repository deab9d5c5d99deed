#pragma once

#include <string>

namespace orvane {

// "/Q" anywhere in the command line, in either letter case, also inside a longer word.
bool IsQuietMode(const std::string& commandLine);

}  // namespace orvane
