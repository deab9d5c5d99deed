// TCP socket control: connect with any free local port, read what arrived, and events raised on
// the window's thread from the message loop.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform {

class TcpSocket {
 public:
  virtual ~TcpSocket() = default;
  // Ends any open or pending connection and drops its events; no effect on a closed socket.
  virtual void close() = 0;
  // Starts a connection from a free local port and returns at once. Success is not reported;
  // data and failures come as events.
  virtual void connect(const std::string& remoteHost, std::uint16_t remotePort) = 0;
  // Every byte received and not yet read; they are removed from the socket's buffer.
  virtual std::vector<std::uint8_t> readAll() = 0;

  // Bytes have arrived; the argument is how many are waiting.
  virtual void setOnDataArrival(std::function<void(std::int32_t bytesTotal)> handler) = 0;
  // The connection failed; a readable description comes with the number.
  virtual void setOnError(
      std::function<void(std::int32_t number, const std::string& description)> handler) = 0;
  // The peer closed the connection (not an error). Raised after the data that came before it.
  virtual void setOnClose(std::function<void()> handler) = 0;
};

}  // namespace platform
