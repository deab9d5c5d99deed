#include "settime/exchange.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "clocksetter/time_reply.h"
#include "settime/rights.h"

namespace orvane::settime {

namespace {

constexpr long kWholeSecondMicros = 1000000;
constexpr std::size_t kLongestRequest = 64;                 // a Set is 13 bytes
constexpr std::size_t kReadChunk = std::size_t{64} * 1024;  // as the window reads an arrival

std::optional<timespec> KernelStamp(msghdr& message) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
    timespec stamp{};
    std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
    return stamp;
  }
  return std::nullopt;
}

// Just after timestamps are first asked for on a system the kernel stamps nothing for a moment;
// then the connection's own record says how long ago its last data came (to a few ms).
std::optional<timespec> LastDataArrival(int tcp) {
  tcp_info info{};
  socklen_t length = sizeof info;
  const timespec now = SystemClockNow();
  if (::getsockopt(tcp, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return std::nullopt;
  return FromNanos(Nanos(now) - std::int64_t{info.tcpi_last_data_recv} * 1000000);
}

}  // namespace

std::optional<timespec> ArrivalOf(int tcp, msghdr& message) {
  const auto stamp = KernelStamp(message);
  return stamp ? stamp : LastDataArrival(tcp);
}

Exchange::Exchange(int channel, Permission mayReach, uid_t caller)
    : channel_(channel), mayReach_(std::move(mayReach)), caller_(caller) {}

Exit Exchange::run() {
  for (;;) {
    const auto tcpEvents = static_cast<short>(connecting_ ? POLLOUT : POLLIN);
    std::array<pollfd, 2> watched{{{channel_, POLLIN, 0}, {tcp_.get(), tcpEvents, 0}}};
    const nfds_t count = tcp_ ? 2 : 1;
    if (::poll(watched.data(), count, -1) < 0) {
      if (errno == EINTR) continue;
      return kChannelFailed;
    }
    if (count == 2 && watched[1].revents != 0) connecting_ ? connected() : receive();
    if (watched[0].revents == 0) continue;
    if (const auto code = serve()) return *code;
  }
}

std::optional<Exit> Exchange::serve() {
  std::array<std::uint8_t, 256> bytes{};
  const ssize_t got = ::read(channel_, bytes.data(), bytes.size());
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return std::nullopt;
  if (got <= 0) return kLetGo;
  requests_.insert(requests_.end(), bytes.begin(), bytes.begin() + got);
  while (const auto frame = TakeFrame(requests_)) {
    if (stage_ == Stage::Answered) return kAskedAgain;
    const auto server = frame->as<Server>();
    const auto serverTime = frame->as<std::int64_t>();
    std::optional<Exit> ended = kGarbled;
    if (stage_ == Stage::AwaitingServer && frame->kind == Kind::Connect && server) {
      ended = start(*server);
    } else if (stage_ == Stage::Connected && frame->kind == Kind::Set && serverTime) {
      ended = answer(static_cast<std::time_t>(*serverTime));
    }
    if (ended) return ended;
  }
  return requests_.size() <= kLongestRequest ? std::nullopt : std::optional{kGarbled};
}

std::optional<Exit> Exchange::start(const Server& server) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(server.port);
  std::memcpy(&address.sin_addr, server.address.data(), server.address.size());
  if (!mayReach_(address)) return kRefused;
  stage_ = Stage::Connected;
  server_ = address;
  started_ = SystemClockNow();
  tcp_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  const int on = 1;
  const auto* at = reinterpret_cast<const sockaddr*>(&address);
  const bool ready =
      tcp_ && ::setsockopt(tcp_.get(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) == 0;
  const bool atOnce = ready && ::connect(tcp_.get(), at, sizeof address) == 0;
  connecting_ = ready && !atOnce && errno == EINPROGRESS;
  if (!atOnce && !connecting_) end(Kind::Failed, errno);
  return std::nullopt;
}

// The one setting of this run, whatever its outcome: the right goes before the answer, and any
// word after it ends the helper.
std::optional<Exit> Exchange::answer(std::time_t serverTime) {
  const std::uint8_t set = setClock(serverTime) ? 1 : 0;
  stage_ = Stage::Answered;
  if (!DropTheClockRight()) return kRightsKept;
  WriteFrame(channel_, Kind::Done, set);
  return std::nullopt;
}

void Exchange::connected() {
  connecting_ = false;
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(tcp_.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
  if (error != 0) end(Kind::Failed, error);
}

void Exchange::receive() {
  std::vector<std::uint8_t> chunk(kReadChunk);
  iovec part{chunk.data(), chunk.size()};
  alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(timespec))> control{};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control.data();
  message.msg_controllen = control.size();
  const ssize_t got = ::recvmsg(tcp_.get(), &message, 0);
  if (got < 0) {
    if (errno != EAGAIN && errno != EINTR) end(Kind::Failed, errno);
    return;
  }
  if (got == 0) return end(Kind::Closed);
  if (reply_.empty()) arrival_ = ArrivalOf(tcp_.get(), message);
  const auto kept =
      std::min(orvane::kReplySize - std::min(reply_.size(), orvane::kReplySize), std::size_t(got));
  reply_.insert(reply_.end(), chunk.begin(), chunk.begin() + std::ptrdiff_t(kept));
  WriteFrame(channel_, Kind::Data, chunk.data(), std::size_t(got));
}

bool Exchange::setClock(std::time_t serverTime) {
  // Only the time this connection received, in this run.
  if (reply_.size() < orvane::kReplySize || !arrival_) return false;
  const auto received = orvane::ServerTimeFromCount(orvane::ReplyCount(reply_));
  if (received.time_since_epoch().count() != serverTime) return false;
  std::array<char, INET_ADDRSTRLEN> address{};
  ::inet_ntop(AF_INET, &server_->sin_addr, address.data(), address.size());
  const long travelled =
      static_cast<long>(std::max<std::int64_t>(0, (Nanos(*arrival_) - Nanos(started_)) / 1000));
  return StepClock({caller_, address.data(), serverTime, *arrival_, kWholeSecondMicros + travelled},
                   watch_);
}

void Exchange::end(Kind kind, int error) {
  tcp_.reset();
  connecting_ = false;
  if (kind == Kind::Failed) {
    WriteFrame(channel_, kind, std::int32_t{error});
  } else {
    WriteFrame(channel_, kind, nullptr, 0);
  }
}

}  // namespace orvane::settime
