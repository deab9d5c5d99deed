#include "platform/qt/socket.h"

#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "platform/report.h"

namespace platform::qt {

QtTcpSocket::QtTcpSocket() {
  failure_.setSingleShot(true);
  QObject::connect(&failure_, &QTimer::timeout,
                   [this] { Guarded([this] { fail(pendingError_); }); });
}

QtTcpSocket::~QtTcpSocket() { disconnect(); }

void QtTcpSocket::watch(QSocketNotifier::Type type, void (QtTcpSocket::*handler)()) {
  if (notifier_ != nullptr) {
    notifier_->setEnabled(false);
    notifier_->deleteLater();
  }
  notifier_ = new QSocketNotifier(fd_.get(), type, &notifiers_);
  QObject::connect(notifier_, &QSocketNotifier::activated,
                   [this, handler] { Guarded([this, handler] { (this->*handler)(); }); });
}

void QtTcpSocket::disconnect() {
  failure_.stop();
  if (notifier_ != nullptr) {
    notifier_->setEnabled(false);
    notifier_->deleteLater();
    notifier_ = nullptr;
  }
  fd_.reset();
}

void QtTcpSocket::connect(const std::string& remoteHost, std::uint16_t remotePort) {
  close();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(remotePort);
  int error = EHOSTUNREACH;
  if (const auto found = ResolveFirstIpv4(remoteHost)) {
    std::memcpy(&address.sin_addr, found->data(), 4);
    error = start(address);
  }
  if (error == 0) return;
  // A failure found at once is still raised from the message loop, like any other.
  pendingError_ = error;
  failure_.start(0);
}

int QtTcpSocket::start(const sockaddr_in& address) {
  fd_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd_) return errno;
  if (::connect(fd_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    watch(QSocketNotifier::Read, &QtTcpSocket::readable);
    return 0;
  }
  if (errno != EINPROGRESS) return errno;
  watch(QSocketNotifier::Write, &QtTcpSocket::connected);
  return 0;
}

void QtTcpSocket::connected() {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd_.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
  if (error != 0) return fail(error);
  watch(QSocketNotifier::Read, &QtTcpSocket::readable);
}

void QtTcpSocket::readable() {
  std::array<std::uint8_t, kReadChunk> chunk;
  const ssize_t got = ::recv(fd_.get(), chunk.data(), chunk.size(), 0);
  if (got < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) fail(errno);
    return;
  }
  if (got == 0) {  // the peer's orderly close
    disconnect();
    raiseClose();
    return;
  }
  keep(chunk.data(), std::size_t(got));
  raiseDataArrival();
}

void QtTcpSocket::fail(int error) {
  disconnect();
  raiseError(error, SystemText(error));
}

}  // namespace platform::qt
