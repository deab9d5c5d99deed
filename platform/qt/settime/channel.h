// What the window and its clock helper (orvane-settime) say to each other over the socket pair
// that is the helper's standard input: frames of a kind, a length (4 bytes, this machine's order)
// and that many bytes. The window starts a helper ahead of need; its first word says where to
// connect.
#pragma once

#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/unique_handle.h"

namespace platform::qt::settime {

// The helper's file descriptors, each closed by its one owner.
using Fd = UniqueHandle<ClosedBy<int, ::close, -1>>;

enum class Kind : std::uint8_t {
  Connect = 'A',  // window: connect to this Server, once
  Data = 'D',     // helper: bytes the server sent
  Closed = 'C',   // helper: the server closed the connection in order
  Failed = 'F',   // helper: the connection failed; an errno (int32)
  Set = 'S',      // window: set the clock to the server's time, UTC seconds (int64)
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

// Writes a whole frame; false when the other side has gone.
bool WriteFrame(int fd, Kind kind, const void* payload, std::size_t length);
template <class T>
bool WriteFrame(int fd, Kind kind, const T& value) {
  return WriteFrame(fd, kind, &value, sizeof value);
}

// Takes the first frame off the front of the bytes read so far, once all of it is there.
std::optional<Frame> TakeFrame(std::vector<std::uint8_t>& received);

}  // namespace platform::qt::settime
