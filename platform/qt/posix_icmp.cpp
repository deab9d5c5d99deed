#include "platform/qt/posix_icmp.h"

#include <arpa/inet.h>
#include <linux/capability.h>
#include <linux/errqueue.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <vector>

#include "platform/qt/posix_handles.h"
#include "platform/qt/safe_start.h"

namespace platform::qt {

namespace {

using Clock = std::chrono::steady_clock;

std::uint16_t Checksum(const std::uint8_t* data, std::size_t length) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < length; i += 2) sum += std::uint32_t(data[i] << 8 | data[i + 1]);
  if (length % 2) sum += std::uint32_t(data[length - 1] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return std::uint16_t(~sum);
}

std::uint32_t StatusOfError(int type, int code) {
  if (type == ICMP_TIME_EXCEEDED) return kIpTtlExpiredTransit;
  if (type != ICMP_DEST_UNREACH) return kIpGeneralFailure;
  switch (code) {
    case ICMP_NET_UNREACH:
      return kIpDestNetUnreachable;
    case ICMP_PROT_UNREACH:
      return kIpDestProtUnreachable;
    case ICMP_PORT_UNREACH:
      return kIpDestPortUnreachable;
    default:
      return kIpDestHostUnreachable;
  }
}

std::uint32_t StatusOfErrno(int error) {
  switch (error) {
    case ENETUNREACH:
      return kIpDestNetUnreachable;
    case EHOSTUNREACH:
    case ECONNREFUSED:
      return kIpDestHostUnreachable;
    default:
      return kIpGeneralFailure;
  }
}

// Each process starts its sequence somewhere else, so that two runs are not taken for each other.
std::atomic<std::uint16_t> gSequence{std::uint16_t(std::random_device{}())};

class PosixEchoHandle : public EchoHandle {
 public:
  PosixEchoHandle(int fd, bool raw) : fd_(fd), raw_(raw) {}
  EchoReply sendEcho(const Ipv4Address& destination, std::span<const std::uint8_t> data,
                     std::uint8_t ttl, std::uint32_t timeoutMs) override;

 private:
  // What one received datagram says about our request, if it is about our request at all.
  std::optional<EchoReply> Interpret(const std::uint8_t* packet, std::size_t length,
                                     std::span<const std::uint8_t> data) const;
  std::optional<EchoReply> ReadErrorQueue() const;

  UniqueFd fd_;
  bool raw_;
  Ipv4Address destination_{};
  std::uint16_t identifier_ = 0;
  std::uint16_t sequence_ = 0;
  Clock::time_point sent_;
};

EchoReply PosixEchoHandle::sendEcho(const Ipv4Address& destination,
                                    std::span<const std::uint8_t> data, std::uint8_t ttl,
                                    std::uint32_t timeoutMs) {
  const int ttlValue = ttl;
  ::setsockopt(fd_.get(), IPPROTO_IP, IP_TTL, &ttlValue, sizeof ttlValue);
  const int on = 1;
  if (!raw_) ::setsockopt(fd_.get(), IPPROTO_IP, IP_RECVERR, &on, sizeof on);

  destination_ = destination;
  identifier_ = std::uint16_t(::getpid());
  sequence_ = gSequence++;
  std::vector<std::uint8_t> request(8 + data.size());
  request[0] = ICMP_ECHO;
  request[4] = std::uint8_t(identifier_ >> 8);
  request[5] = std::uint8_t(identifier_);
  request[6] = std::uint8_t(sequence_ >> 8);
  request[7] = std::uint8_t(sequence_);
  std::copy(data.begin(), data.end(), request.begin() + 8);
  const std::uint16_t sum = Checksum(request.data(), request.size());
  request[2] = std::uint8_t(sum >> 8);
  request[3] = std::uint8_t(sum);

  sockaddr_in to{};
  to.sin_family = AF_INET;
  std::memcpy(&to.sin_addr, destination.data(), 4);
  sent_ = Clock::now();
  if (::sendto(fd_.get(), request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to),
               sizeof to) < 0)
    return {1, StatusOfErrno(errno), 0};

  const auto deadline = sent_ + std::chrono::milliseconds(timeoutMs);
  std::vector<std::uint8_t> packet(65536);
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return {0, kIpReqTimedOut, 0};
    pollfd watch{fd_.get(), POLLIN, 0};
    const int ready = ::poll(&watch, 1, int(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;  // the deadline is checked at the top
    if (watch.revents & POLLERR) {
      if (auto reply = ReadErrorQueue()) return *reply;
      continue;
    }
    const ssize_t got = ::recv(fd_.get(), packet.data(), packet.size(), MSG_DONTWAIT);
    if (got < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      if (auto reply = ReadErrorQueue()) return *reply;
      return {1, StatusOfErrno(errno), 0};
    }
    if (auto reply = Interpret(packet.data(), std::size_t(got), data)) return *reply;
  }
}

std::optional<EchoReply> PosixEchoHandle::Interpret(const std::uint8_t* packet, std::size_t length,
                                                    std::span<const std::uint8_t> data) const {
  // A raw socket hands over the IP header too, and every ICMP message that reaches the host:
  // ours come from the destination and carry our identifier. A datagram socket gets only the
  // ICMP messages of its own requests, and the kernel chooses their identifier.
  if (raw_) {
    if (length < 20) return std::nullopt;
    const std::size_t header = std::size_t(packet[0] & 0x0F) * 4;
    if (length < header + 8) return std::nullopt;
    if (packet[9] == IPPROTO_ICMP && packet[header] == ICMP_ECHOREPLY &&
        !std::equal(destination_.begin(), destination_.end(), packet + 12))
      return std::nullopt;
    packet += header;
    length -= header;
  }
  if (length < 8) return std::nullopt;
  const auto word = [](const std::uint8_t* p) { return std::uint16_t(p[0] << 8 | p[1]); };
  const int type = packet[0];
  const auto elapsed = std::uint32_t(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent_).count());

  const auto isOurs = [&](const std::uint8_t* message) {
    return word(message + 6) == sequence_ && (!raw_ || word(message + 4) == identifier_);
  };
  if (type == ICMP_ECHOREPLY) {
    if (!isOurs(packet)) return std::nullopt;
    if (length - 8 != data.size() || !std::equal(data.begin(), data.end(), packet + 8))
      return std::nullopt;
    return EchoReply{1, 0, elapsed};
  }
  if (type == ICMP_DEST_UNREACH || type == ICMP_TIME_EXCEEDED) {
    // The error quotes our request: its IP header (to our destination), then the first 8 bytes
    // of our message.
    const std::uint8_t* quoted = packet + 8;
    if (length < 8 + 20) return std::nullopt;
    const std::size_t header = std::size_t(quoted[0] & 0x0F) * 4;
    if (length < 8 + header + 8) return std::nullopt;
    const std::uint8_t* ours = quoted + header;
    if (!std::equal(destination_.begin(), destination_.end(), quoted + 16)) return std::nullopt;
    if (ours[0] != ICMP_ECHO || !isOurs(ours)) return std::nullopt;
    return EchoReply{1, StatusOfError(type, packet[1]), elapsed};
  }
  return std::nullopt;  // our own request seen on a raw socket, or someone else's traffic
}

// A datagram socket reports ICMP errors about our request on its error queue.
std::optional<EchoReply> PosixEchoHandle::ReadErrorQueue() const {
  std::uint8_t buffer[512];
  std::uint8_t control[512];
  iovec io{buffer, sizeof buffer};
  msghdr message{};
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  if (::recvmsg(fd_.get(), &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) return std::nullopt;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR) continue;
    sock_extended_err error;
    std::memcpy(&error, CMSG_DATA(c), sizeof error);
    const auto elapsed = std::uint32_t(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent_).count());
    if (error.ee_origin == SO_EE_ORIGIN_ICMP)
      return EchoReply{1, StatusOfError(error.ee_type, error.ee_code), elapsed};
    return EchoReply{1, StatusOfErrno(int(error.ee_errno)), elapsed};
  }
  return std::nullopt;
}

}  // namespace

std::optional<Ipv4Address> PosixIcmp::resolveFirstIpv4(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_RAW;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return std::nullopt;
  Ipv4Address address;
  std::memcpy(address.data(), &reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr, 4);
  ::freeaddrinfo(found);
  return address;
}

std::unique_ptr<EchoHandle> PosixIcmp::openEchoHandle() {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd >= 0) return std::make_unique<PosixEchoHandle>(fd, false);
  const RaisedCapability right(CAP_NET_RAW);
  fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd >= 0) return std::make_unique<PosixEchoHandle>(fd, true);
  return nullptr;
}

}  // namespace platform::qt
