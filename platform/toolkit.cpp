#include "platform/toolkit.h"

namespace platform {

bool WindowBase::requestClose(UnloadMode mode) {
  if (unloaded_) return true;
  std::int16_t cancel = 0;
  if (onQueryUnload_) onQueryUnload_(cancel, mode);
  if (cancel) return false;
  unloaded_ = true;
  for (auto& socket : sockets_) socket->closeWithWindow();
  closed();
  return true;
}

void WindowBase::activateOnce() {
  if (activated_ || unloaded_) return;
  activated_ = true;
  if (onActivate_) onActivate_();
}

void Toolkit::handleEventsUntil(TimePoint deadline, const std::function<bool()>& done) {
  while (waitForEvents(deadline) && !(done && done())) {
  }
}

}  // namespace platform
