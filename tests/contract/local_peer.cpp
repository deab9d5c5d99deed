// A TCP server on 127.0.0.1 in a thread of its own, on POSIX sockets or Winsock.
#ifdef _WIN32
#include <winsock2.h>

#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstddef>
#include <thread>

#include "tests/contract/backend.h"

#ifdef _WIN32
using SocketLength = int;
using SendLength = int;
#else
using SOCKET = int;
using SocketLength = socklen_t;
using SendLength = std::size_t;
constexpr SOCKET INVALID_SOCKET = -1;
inline int closesocket(SOCKET s) { return ::close(s); }
#endif

namespace contract {

namespace {

#ifdef _WIN32
constexpr int kNoSignal = 0;
struct Winsock {
  Winsock() {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~Winsock() { ::WSACleanup(); }
};
#else
constexpr int kNoSignal = MSG_NOSIGNAL;
struct Winsock {};
#endif

bool SendAll(SOCKET fd, const Bytes& bytes) {
  return ::send(fd, reinterpret_cast<const char*>(bytes.data()), SendLength(bytes.size()),
                kNoSignal) > 0;
}

class LocalPeer : public Peer {
 public:
  LocalPeer(std::vector<PeerStep> steps, bool refuse) : steps_(std::move(steps)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    static_cast<void>(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address));
    SocketLength length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    if (refuse) {  // the port stays ours, and nothing listens on it
      return;
    }
    static_cast<void>(::listen(listener_, 8));
    thread_ = std::thread([this] {
      for (SOCKET fd; (fd = ::accept(listener_, nullptr, nullptr)) != INVALID_SOCKET;) {
        ++accepted_;
        Serve(fd);
      }
    });
  }
  ~LocalPeer() override {
    stop_ = true;
#ifndef _WIN32
    ::shutdown(listener_, SHUT_RDWR);
#endif
    closesocket(listener_);
    if (thread_.joinable()) thread_.join();
  }
  std::string host() const override { return "127.0.0.1"; }
  std::uint16_t port() const override { return port_; }
  int accepted() const override { return accepted_; }

 private:
  void Serve(SOCKET fd) {
    for (const PeerStep& step : steps_) {
      if (step.kind == PeerStep::Send) SendAll(fd, step.bytes);
      if (step.kind == PeerStep::Pause) std::this_thread::sleep_for(step.pause);
      if (step.kind == PeerStep::Reset) {
        const linger abort{1, 0};  // closing now sends RST instead of FIN
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort),
                     sizeof abort);
        break;
      }
      if (step.kind == PeerStep::Stream) {
        const Bytes block(1 << 16, 'x');
        while (!stop_ && SendAll(fd, block)) {
        }
      }
    }
    closesocket(fd);
  }
  [[maybe_unused]] Winsock winsock_;
  std::vector<PeerStep> steps_;
  SOCKET listener_ = INVALID_SOCKET;
  std::uint16_t port_ = 0;
  std::atomic<int> accepted_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace

std::unique_ptr<Peer> ServeLocally(std::vector<PeerStep> steps, bool refuse) {
  return std::make_unique<LocalPeer>(std::move(steps), refuse);
}

}  // namespace contract
