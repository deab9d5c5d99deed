#include "platform/qt/qt_socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "platform/qt/qt_events.h"

namespace platform::qt {

namespace {

std::string Description(int error) {
  std::array<char, 256> text{};
  return ::strerror_r(error, text.data(), text.size());
}

// The first IPv4 address of the host text, or the resolver's error as an errno value.
int Resolve(const std::string& host, in_addr& address) {
  if (::inet_pton(AF_INET, host.c_str(), &address) == 1) return 0;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
    return EHOSTUNREACH;
  address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
  ::freeaddrinfo(found);
  return 0;
}

}  // namespace

QtTcpSocket::QtTcpSocket() {
  failure_.setSingleShot(true);
  QObject::connect(&failure_, &QTimer::timeout,
                   [this] { Guarded([this] { Fail(pendingError_); }); });
}

QtTcpSocket::~QtTcpSocket() { Stop(); }

void QtTcpSocket::Watch(QSocketNotifier::Type type, void (QtTcpSocket::*handler)()) {
  if (notifier_ != nullptr) notifier_->deleteLater();
  notifier_ = new QSocketNotifier(fd_.get(), type, &notifiers_);
  QObject::connect(notifier_, &QSocketNotifier::activated,
                   [this, handler] { Guarded([this, handler] { (this->*handler)(); }); });
}

// Ends the connection and every event it could still raise.
void QtTcpSocket::Stop() {
  failure_.stop();
  if (notifier_ != nullptr) {
    notifier_->setEnabled(false);
    notifier_->deleteLater();
    notifier_ = nullptr;
  }
  fd_.reset();
}

void QtTcpSocket::close() {
  Stop();
  received_.clear();
}

void QtTcpSocket::connect(const std::string& remoteHost, std::uint16_t remotePort) {
  close();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(remotePort);
  int error = Resolve(remoteHost, address.sin_addr);
  if (error == 0) error = Start(address);
  if (error == 0) return;
  // A failure found at once is still raised from the message loop, like any other.
  pendingError_ = error;
  failure_.start(0);
}

int QtTcpSocket::Start(const sockaddr_in& address) {
  fd_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd_) return errno;
  if (::connect(fd_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    Watch(QSocketNotifier::Read, &QtTcpSocket::Readable);
    return 0;
  }
  if (errno != EINPROGRESS) return errno;
  Watch(QSocketNotifier::Write, &QtTcpSocket::Connected);
  return 0;
}

void QtTcpSocket::Connected() {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd_.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
  if (error != 0) return Fail(error);
  Watch(QSocketNotifier::Read, &QtTcpSocket::Readable);
}

void QtTcpSocket::Readable() {
  std::array<std::uint8_t, kReadChunk> chunk;
  const ssize_t got = ::recv(fd_.get(), chunk.data(), chunk.size(), 0);
  if (got < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) Fail(errno);
    return;
  }
  if (got == 0) {  // the peer's orderly close
    Stop();
    raiseClose();
    return;
  }
  received_.insert(received_.end(), chunk.begin(), chunk.begin() + got);
  raiseDataArrival(received_.size());
}

void QtTcpSocket::Fail(int error) {
  Stop();
  raiseError(error, Description(error));
}

std::vector<std::uint8_t> QtTcpSocket::readAll() { return std::exchange(received_, {}); }

}  // namespace platform::qt
