// What a program does first on Linux when it holds more rights than the user who started it (a
// file capability lets it set the clock): it keeps only the environment its window needs, holds
// only the capabilities it uses, and raises one only for the call that needs it.
#pragma once

#include "platform/unique_handle.h"

namespace platform::qt {

// Before anything else of the process runs: when the process was started with raised privilege
// (AT_SECURE), rebuilds the environment from the allow-list and drops every capability but the
// clock's (and the raw echo socket's, where unprivileged echo sockets are not allowed); none
// stays effective.
void StartSafely();

// A capability made effective for as long as this object lives, where the process holds it; one
// that was effective already stays so.
class RaisedCapability : NonCopyable {
 public:
  explicit RaisedCapability(int capability);
  ~RaisedCapability();

 private:
  int capability_;
  bool raised_ = false;
};

}  // namespace platform::qt
