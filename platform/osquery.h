// Operating-system identification: the installed systems' display name and version.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/unique_handle.h"

namespace platform {

struct OperatingSystemItem {
  std::optional<std::string> caption;  // may be null
  std::string version;
};

class OsQuery : public Interface {
 public:
  // The instances of the operating-system class, in the order the service yields them.
  // Throws platform::Error when the service cannot be reached or queried.
  virtual std::vector<OperatingSystemItem> operatingSystems() = 0;
};

}  // namespace platform
