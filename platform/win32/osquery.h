// The operating system's name and version on Win32, from WMI.
#pragma once

#include "platform/osquery.h"

namespace platform::win32 {

// Win32_OperatingSystem from root\cimv2 through COM, impersonation level impersonate.
class WmiOsQuery : public OsQuery {
 public:
  std::vector<OperatingSystemItem> operatingSystems() override;
};

}  // namespace platform::win32
