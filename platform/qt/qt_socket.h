// The socket control on a non-blocking POSIX socket, its events raised from Qt's event loop. One
// connect is one connection attempt, never repeated; the peer's orderly close is the close event,
// a reset or any other failure an error with the system's description.
#pragma once

#include <netinet/in.h>

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <memory>

#include "platform/qt/posix_handles.h"
#include "platform/socket.h"

namespace platform::qt {

class QtTcpSocket final : public TcpSocketBase {
 public:
  QtTcpSocket();
  ~QtTcpSocket() override;
  QtTcpSocket(const QtTcpSocket&) = delete;
  QtTcpSocket& operator=(const QtTcpSocket&) = delete;

  void close() override;
  void connect(const std::string& remoteHost, std::uint16_t remotePort) override;
  std::vector<std::uint8_t> readAll() override;

 private:
  // Starts the connection; the error that prevented it, or 0.
  int Start(const sockaddr_in& address);
  void Watch(QSocketNotifier::Type type, void (QtTcpSocket::*handler)());
  void Connected();
  void Readable();
  void Fail(int error);
  void Stop();

  UniqueFd fd_;
  // Parent of the notifiers: one may be replaced from inside its own signal, so it goes later.
  QObject notifiers_;
  QSocketNotifier* notifier_ = nullptr;
  QTimer failure_;  // a failure found in connect itself, raised from the message loop
  int pendingError_ = 0;
  std::vector<std::uint8_t> received_;
};

}  // namespace platform::qt
