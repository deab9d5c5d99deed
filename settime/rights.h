// The one right the clock helper may hold, who it runs as, and when it holds the right.
#pragma once

#include <sys/types.h>

#include "platform/unique_handle.h"

namespace orvane::settime {

// The first thing the helper does: keeps cap_sys_time alone, permitted but not effective, with
// nothing it could hand on to a program it started (it starts none); false when the system
// would not let the others go.
bool KeepOnlyTheClockRight();

// Where the package makes the helper set-user-ID to a system user of its own, every user id
// becomes that user's, the right kept: the user who started it can then neither stop, signal
// nor inspect it. `caller` is the user who started it, for the record; false when the switch
// failed. Without the set-user-ID bit it changes nothing.
bool BecomeTheHelpersUser(uid_t& caller);

// Whether this process could set the system clock: the capability, in the system's own user
// namespace (a container's root sets no clock) and so not in a lab or a sandbox.
bool HoldsClockRight();

// Lets the right go for good, from the permitted set too: done once the one step is over,
// whatever its outcome. False when the system would not.
bool DropTheClockRight();

// The right made effective for as long as this object lives.
class ClockRightRaised : platform::NonCopyable {
 public:
  ClockRightRaised();
  ~ClockRightRaised();
};

}  // namespace orvane::settime
