// The helper's file descriptors, each closed by its one owner.
#pragma once

#include <unistd.h>

#include "platform/unique_handle.h"

namespace orvane::settime {

using Fd = platform::UniqueHandle<platform::ClosedBy<int, ::close, -1>>;

}  // namespace orvane::settime
