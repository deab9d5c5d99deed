// File descriptors owned by one object each.
#pragma once

#include <unistd.h>

#include "platform/unique_handle.h"

namespace platform::qt {

struct FdTraits {
  using Value = int;
  static constexpr int none() { return -1; }
  static bool valid(int fd) { return fd >= 0; }
  static void close(int fd) { ::close(fd); }
};
using UniqueFd = UniqueHandle<FdTraits>;

}  // namespace platform::qt
