#include "platform/qt/settime/channel.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace platform::qt::settime {

namespace {
constexpr std::size_t kHeader = 1 + sizeof(std::uint32_t);
}

bool WriteFrame(int fd, Kind kind, const void* payload, std::size_t length) {
  std::vector<std::uint8_t> frame{static_cast<std::uint8_t>(kind)};
  const auto size = static_cast<std::uint32_t>(length);
  const auto* sizeBytes = reinterpret_cast<const std::uint8_t*>(&size);
  frame.insert(frame.end(), sizeBytes, sizeBytes + sizeof size);
  const auto* bytes = static_cast<const std::uint8_t*>(payload);
  if (length > 0) frame.insert(frame.end(), bytes, bytes + length);
  for (std::size_t sent = 0; sent < frame.size();) {
    // Not SIGPIPE: a window that has gone is an answer, not a reason to die.
    const ssize_t wrote = ::send(fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    sent += std::size_t(wrote);
  }
  return true;
}

std::optional<Frame> TakeFrame(std::vector<std::uint8_t>& received) {
  if (received.size() < kHeader) return std::nullopt;
  std::uint32_t length = 0;
  std::memcpy(&length, received.data() + 1, sizeof length);
  if (received.size() - kHeader < length) return std::nullopt;
  const auto begin = received.begin() + std::ptrdiff_t(kHeader);
  Frame frame{static_cast<Kind>(received[0]), {begin, begin + std::ptrdiff_t(length)}};
  received.erase(received.begin(), begin + std::ptrdiff_t(length));
  return frame;
}

}  // namespace platform::qt::settime
