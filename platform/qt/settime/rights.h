// The one right the clock helper may hold, and when it holds it.
#pragma once

#include "platform/unique_handle.h"

namespace platform::qt::settime {

// The first thing the helper does: keeps cap_sys_time alone, permitted but not effective, with
// nothing it could hand on to a program it started (it starts none); false when the system
// would not let the others go.
bool KeepOnlyTheClockRight();

// Whether this process could set the system clock: the capability, in the system's own user
// namespace (a container's root sets no clock) and so not in a lab or a sandbox.
bool HoldsClockRight();

// The right made effective for as long as this object lives.
class ClockRightRaised : NonCopyable {
 public:
  ClockRightRaised();
  ~ClockRightRaised();
};

}  // namespace platform::qt::settime
