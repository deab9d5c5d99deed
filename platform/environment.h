// What a program keeps of its environment when it runs with more rights than the user who
// started it (a file capability that lets it set the clock): what its window needs to appear and
// read, and nothing that names code to load or picks a plugin. The user's other variables (a
// plugin path, a module list, a library of their own) would run that user's code with the right.
#pragma once

#include <string_view>

namespace platform {

// An environment entry, "NAME=value", that a privileged program keeps.
bool KeptWhenPrivileged(std::string_view entry);

}  // namespace platform
