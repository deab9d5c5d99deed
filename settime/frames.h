// What Orvane's window and its clock helper (orvane-settime) say to each other over the socket
// pair that is the helper's standard input: frames of a kind, a length (4 bytes, this machine's
// order) and that many bytes. The window starts a helper ahead of need; its first word says where
// to connect, its last asks for the clock to be set. Both sides include this header alone.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

namespace orvane::settime {

enum class Kind : std::uint8_t {
  Connect = 'A',  // window: connect to this Server; the first word, once
  Data = 'D',     // helper: bytes the server sent
  Closed = 'C',   // helper: the server closed the connection in order
  Failed = 'F',   // helper: the connection failed; an errno (int32)
  Set = 'S',      // window: set the clock to the time just received, UTC seconds (int64); once
  Done = 'R',     // helper: the answer to Set, one byte: 1 when the clock was set
};

struct Server {
  std::array<std::uint8_t, 4> address;  // IPv4
  std::uint16_t port;
};

struct Frame {
  Kind kind;
  std::vector<std::uint8_t> payload;

  // The payload as one value of this type; none when it is not that long.
  template <class T>
  std::optional<T> as() const {
    T value{};
    if (payload.size() != sizeof value) return std::nullopt;
    std::memcpy(&value, payload.data(), sizeof value);
    return value;
  }
};

inline constexpr std::size_t kFrameHeader = 1 + sizeof(std::uint32_t);

// Writes a whole frame; false when the other side has gone.
inline bool WriteFrame(int fd, Kind kind, const void* payload, std::size_t length) {
  std::vector<std::uint8_t> frame{static_cast<std::uint8_t>(kind)};
  const auto size = static_cast<std::uint32_t>(length);
  const auto* sizeBytes = reinterpret_cast<const std::uint8_t*>(&size);
  frame.insert(frame.end(), sizeBytes, sizeBytes + sizeof size);
  const auto* bytes = static_cast<const std::uint8_t*>(payload);
  if (length > 0) frame.insert(frame.end(), bytes, bytes + length);
  for (std::size_t sent = 0; sent < frame.size();) {
    // Not SIGPIPE: a side that has gone is an answer, not a reason to die.
    const ssize_t wrote = ::send(fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    sent += std::size_t(wrote);
  }
  return true;
}
template <class T>
bool WriteFrame(int fd, Kind kind, const T& value) {
  return WriteFrame(fd, kind, &value, sizeof value);
}

// Takes the first frame off the front of the bytes read so far, once all of it is there.
inline std::optional<Frame> TakeFrame(std::vector<std::uint8_t>& received) {
  if (received.size() < kFrameHeader) return std::nullopt;
  std::uint32_t length = 0;
  std::memcpy(&length, received.data() + 1, sizeof length);
  if (received.size() - kFrameHeader < length) return std::nullopt;
  const auto begin = received.begin() + std::ptrdiff_t(kFrameHeader);
  Frame frame{static_cast<Kind>(received[0]), {begin, begin + std::ptrdiff_t(length)}};
  received.erase(received.begin(), begin + std::ptrdiff_t(length));
  return frame;
}

}  // namespace orvane::settime
