// The operating system's name and version, as Qt reads them (os-release).
#pragma once

#include "platform/osquery.h"

namespace platform::qt {

class QtOsQuery : public OsQuery {
 public:
  std::vector<OperatingSystemItem> operatingSystems() override;
};

}  // namespace platform::qt
