#include "settime/system_log.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace orvane::settime {

namespace {

constexpr timeval kLongestWait{2, 0};  // a logger that takes nothing in this time is not there

Fd Connected(const char* path, int type, int& error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
  Fd socket(::socket(AF_UNIX, type | SOCK_CLOEXEC, 0));
  const bool ready =
      socket &&
      ::setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &kLongestWait, sizeof kLongestWait) ==
          0 &&
      ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  error = ready ? 0 : errno;
  return ready ? std::move(socket) : Fd();
}

// "<85>Dec  8 10:30:01 orvane[1234]: ", as the C library's syslog() begins a line.
std::string Header() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  std::array<char, 32> stamp{};
  const std::size_t length = std::strftime(stamp.data(), stamp.size(), "%h %e %T", &local);
  return "<" + std::to_string(LOG_AUTHPRIV | LOG_NOTICE) + ">" + std::string(stamp.data(), length) +
         " orvane[" + std::to_string(::getpid()) + "]: ";
}

}  // namespace

SystemLog::SystemLog(const char* path) {
  int error = 0;
  socket_ = Connected(path, SOCK_DGRAM, error);
  if (error == EPROTOTYPE) {
    socket_ = Connected(path, SOCK_STREAM, error);
    stream_ = true;
  }
}

bool SystemLog::record(const std::string& message) {
  if (!socket_) return false;
  const std::string line = Header() + message;
  const std::size_t length = line.size() + (stream_ ? 1 : 0);  // c_str()'s NUL
  for (std::size_t sent = 0; sent < length;) {
    const ssize_t wrote = ::send(socket_.get(), line.c_str() + sent, length - sent, MSG_NOSIGNAL);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    sent += std::size_t(wrote);
  }
  return true;
}

}  // namespace orvane::settime
