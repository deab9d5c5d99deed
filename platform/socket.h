// TCP socket control: connect with any free local port, read what arrived, and events raised on
// the window's thread from the message loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/unique_handle.h"

namespace platform {

class TcpSocket : public Interface {
 public:
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

  // The most one arrival reads: a peer that keeps sending cannot hold the window's thread.
  static constexpr std::size_t kReadChunk = std::size_t{64} * 1024;
};

// What the system knows of the network: whether it has a route to an address now (nothing is
// sent), and a call from the message loop when its routes or addresses may have changed.
class Network : public Interface {
 public:
  virtual bool hasRouteTo(const std::string& address) = 0;
  // A layer that cannot tell when routes change never calls it: its user looks again now and
  // then.
  virtual void setOnChange(std::function<void()> handler) = 0;
};

// What every socket does with its handlers and the bytes it has received, whatever carries them.
class TcpSocketBase : public TcpSocket {
 public:
  void close() final {
    disconnect();
    received_.clear();
  }
  std::vector<std::uint8_t> readAll() final { return std::exchange(received_, {}); }
  void setOnDataArrival(std::function<void(std::int32_t)> handler) override {
    onData_ = std::move(handler);
  }
  void setOnError(std::function<void(std::int32_t, const std::string&)> handler) override {
    onError_ = std::move(handler);
  }
  void setOnClose(std::function<void()> handler) override { onClose_ = std::move(handler); }
  // Its window has closed: the connection ends, and no other will follow.
  virtual void closeWithWindow() { close(); }

 protected:
  // The layer's part of close: ends the connection and every event it could still raise.
  virtual void disconnect() = 0;
  // Bytes read, kept for readAll; the data-arrival event says how many are waiting.
  void keep(const std::uint8_t* bytes, std::size_t count) {
    received_.insert(received_.end(), bytes, bytes + count);
  }
  void raiseDataArrival() const {
    if (onData_) onData_(static_cast<std::int32_t>(received_.size()));
  }
  void raiseError(std::int32_t number, const std::string& description) const {
    if (onError_) onError_(number, description);
  }
  void raiseClose() const {
    if (onClose_) onClose_();
  }

 private:
  std::vector<std::uint8_t> received_;
  std::function<void(std::int32_t)> onData_;
  std::function<void(std::int32_t, const std::string&)> onError_;
  std::function<void()> onClose_;
};

}  // namespace platform
