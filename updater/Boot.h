// The update installer: puts a downloaded new version of a program in place of its executable
// and starts it.
#pragma once

#include <string>

#include "platform/osquery.h"
#include "platform/platform.h"

namespace pelstow {

// The operating system's display name; its version goes to `version` (left alone when the
// service knows no operating system). Throws platform::Error when the query fails.
std::string QueryOSInfo(platform::OsQuery& osQuery, std::string& version);

// The whole run, from the command line to the end of the process.
[[noreturn]] void Main(platform::Platform& platform);

// A name the installer may use: a plain file name of the program's folder, nothing that could
// reach another folder or match several files.
bool IsPlainFileName(const std::string& name);

}  // namespace pelstow
