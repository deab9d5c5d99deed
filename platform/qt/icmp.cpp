#include "platform/qt/icmp.h"

#include <linux/errqueue.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <span>
#include <vector>

#include "platform/qt/system.h"

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
  if (code == ICMP_NET_UNREACH) return kIpDestNetUnreachable;
  if (code == ICMP_PROT_UNREACH) return kIpDestProtUnreachable;
  if (code == ICMP_PORT_UNREACH) return kIpDestPortUnreachable;
  return kIpDestHostUnreachable;
}

std::uint32_t StatusOfErrno(int error) {
  if (error == ENETUNREACH) return kIpDestNetUnreachable;
  if (error == EHOSTUNREACH || error == ECONNREFUSED) return kIpDestHostUnreachable;
  return kIpGeneralFailure;
}

std::uint16_t Word(const std::uint8_t* bytes) { return std::uint16_t(bytes[0] << 8 | bytes[1]); }

Ipv4Address AddressAt(const std::uint8_t* bytes) {
  Ipv4Address address;
  std::copy_n(bytes, address.size(), address.begin());
  return address;
}

// An IPv4 header's length, or 0 when the packet cannot hold it and the 8 bytes after it.
std::size_t IpHeaderLength(std::span<const std::uint8_t> packet) {
  if (packet.size() < 20) return 0;
  const std::size_t length = std::size_t(packet[0] & 0x0F) * 4;
  return packet.size() >= length + 8 ? length : 0;
}

// One ICMP message, read once: an echo reply, or an error quoting an echo request.
struct Message {
  int type = 0;
  int code = 0;
  std::optional<Ipv4Address> source;  // a raw socket's only
  std::uint16_t identifier = 0;       // of the reply, or of the request an error quotes
  std::uint16_t sequence = 0;
  std::span<const std::uint8_t> payload;         // a reply's data
  std::optional<Ipv4Address> quotedDestination;  // where the quoted request went
};

// A raw socket hands over the IP header too, and every ICMP message that reaches the host; a
// datagram socket the ICMP message alone.
std::optional<Message> Parse(std::span<const std::uint8_t> packet, bool withIpHeader) {
  Message message;
  if (withIpHeader) {
    const std::size_t header = IpHeaderLength(packet);
    if (header == 0 || packet[9] != IPPROTO_ICMP) return std::nullopt;
    message.source = AddressAt(&packet[12]);
    packet = packet.subspan(header);
  }
  if (packet.size() < 8) return std::nullopt;
  message.type = packet[0];
  message.code = packet[1];
  if (message.type == ICMP_ECHOREPLY) {
    message.identifier = Word(&packet[4]);
    message.sequence = Word(&packet[6]);
    message.payload = packet.subspan(8);
    return message;
  }
  if (message.type != ICMP_DEST_UNREACH && message.type != ICMP_TIME_EXCEEDED)
    return std::nullopt;  // our own request seen on a raw socket, or someone else's traffic
  // An error quotes the request: its IP header, then the first 8 bytes of the echo.
  const auto quoted = packet.subspan(8);
  const std::size_t header = IpHeaderLength(quoted);
  if (header == 0 || quoted[header] != ICMP_ECHO) return std::nullopt;
  message.quotedDestination = AddressAt(&quoted[16]);
  message.identifier = Word(&quoted[header + 4]);
  message.sequence = Word(&quoted[header + 6]);
  return message;
}

// Each process starts its sequence somewhere else, so that two runs are not taken for each other.
std::atomic<std::uint16_t> gSequence{std::uint16_t(std::random_device{}())};

class PosixEchoHandle : public EchoHandle {
 public:
  PosixEchoHandle(int fd, bool raw) : fd_(fd), raw_(raw) {}
  EchoReply sendEcho(const Ipv4Address& destination, std::span<const std::uint8_t> data,
                     std::uint8_t ttl, std::uint32_t timeoutMs) override {
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
        if (auto reply = readErrorQueue()) return *reply;
        continue;
      }
      const ssize_t got = ::recv(fd_.get(), packet.data(), packet.size(), MSG_DONTWAIT);
      if (got < 0) {
        if (errno == EAGAIN || errno == EINTR) continue;
        if (auto reply = readErrorQueue()) return *reply;
        return {1, StatusOfErrno(errno), 0};
      }
      if (auto reply = interpret(std::span(packet.data(), std::size_t(got)), data)) return *reply;
    }
  }

 private:
  // What one received datagram says about our request, if it is about our request at all.
  std::optional<EchoReply> interpret(std::span<const std::uint8_t> packet,
                                     std::span<const std::uint8_t> data) const {
    const auto message = Parse(packet, raw_);
    if (!message || message->sequence != sequence_) return std::nullopt;
    // On a datagram socket the kernel chooses the identifier, and hands over only our messages.
    if (raw_ && message->identifier != identifier_) return std::nullopt;
    if (message->type == ICMP_ECHOREPLY) {
      if (message->source && *message->source != destination_) return std::nullopt;
      if (!std::ranges::equal(message->payload, data)) return std::nullopt;
      return EchoReply{1, 0, elapsed()};
    }
    if (message->quotedDestination != destination_) return std::nullopt;
    return EchoReply{1, StatusOfError(message->type, message->code), elapsed()};
  }

  std::uint32_t elapsed() const {
    return std::uint32_t(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent_).count());
  }

  // A datagram socket reports ICMP errors about our request on its error queue.
  std::optional<EchoReply> readErrorQueue() const {
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
      if (error.ee_origin == SO_EE_ORIGIN_ICMP)
        return EchoReply{1, StatusOfError(error.ee_type, error.ee_code), elapsed()};
      return EchoReply{1, StatusOfErrno(int(error.ee_errno)), elapsed()};
    }
    return std::nullopt;
  }

  UniqueFd fd_;
  bool raw_;
  Ipv4Address destination_{};
  std::uint16_t identifier_ = 0;
  std::uint16_t sequence_ = 0;
  Clock::time_point sent_;
};

}  // namespace

std::optional<Ipv4Address> PosixIcmp::resolveFirstIpv4(const std::string& host) {
  return ResolveFirstIpv4(host);
}

std::unique_ptr<EchoHandle> PosixIcmp::openEchoHandle() {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd >= 0) return std::make_unique<PosixEchoHandle>(fd, false);
  // A raw socket only where the user may open one (root): the window holds no right of its own.
  fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd >= 0) return std::make_unique<PosixEchoHandle>(fd, true);
  return nullptr;
}

}  // namespace platform::qt
