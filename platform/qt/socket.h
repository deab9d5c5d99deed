// The socket control on a non-blocking POSIX socket, its events raised from Qt's event loop. One
// connect is one connection attempt, never repeated; the peer's orderly close is the close event,
// a reset or any other failure an error with the system's description.
#pragma once

#include <netinet/in.h>

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include "platform/qt/system.h"
#include "platform/socket.h"

namespace platform::qt {

class QtTcpSocket final : public TcpSocketBase {
 public:
  QtTcpSocket();
  ~QtTcpSocket() override;
  void connect(const std::string& remoteHost, std::uint16_t remotePort) override;

 private:
  void disconnect() override;
  // Starts the connection; the error that prevented it, or 0.
  int start(const sockaddr_in& address);
  void watch(QSocketNotifier::Type type, void (QtTcpSocket::*handler)());
  void connected();
  void readable();
  void fail(int error);

  UniqueFd fd_;
  // Parent of the notifiers: one may be replaced from inside its own signal, so it goes later.
  QObject notifiers_;
  QSocketNotifier* notifier_ = nullptr;
  QTimer failure_;  // a failure found in connect itself, raised from the message loop
  int pendingError_ = 0;
};

}  // namespace platform::qt
