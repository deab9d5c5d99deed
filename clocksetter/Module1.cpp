#include "clocksetter/Module1.h"

#include <algorithm>
#include <array>
#include <limits>
#include <optional>

namespace orvane {

namespace {

constexpr std::size_t kMaxHostCharacters = 64;
constexpr std::uint8_t kTtl = 255;
const std::array<std::uint8_t, 32> kRequestData = [] {
  std::array<std::uint8_t, 32> data{};
  data.fill('A');
  return data;
}();

// Keeps the socket library started for the life of one probe, on every way out of it.
class SocketLibrarySession : platform::NonCopyable {
 public:
  explicit SocketLibrarySession(platform::Icmp& icmp) : icmp_(icmp) { icmp_.startSocketLibrary(); }
  ~SocketLibrarySession() { icmp_.cleanupSocketLibrary(); }

 private:
  platform::Icmp& icmp_;
};

std::size_t CharacterCount(const std::string& utf8) {
  return static_cast<std::size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// No address for a host text the resolver does not take: an echo to 0.0.0.0 would be answered
// by this machine itself on some systems and read as a fast server.
std::optional<platform::Ipv4Address> Destination(platform::Icmp& icmp, const std::string& host) {
  if (CharacterCount(host) > kMaxHostCharacters) return std::nullopt;
  return icmp.resolveFirstIpv4(host);
}

// A call that stored no reply left the record untouched; that is no answer, not a 0 ms one.
std::int16_t ResultOf(const platform::EchoReply& reply) {
  if (reply.repliesStored == 0 || reply.status != 0) return kEchoFailed;
  if (reply.roundTripTimeMs > std::uint32_t(std::numeric_limits<std::int16_t>::max()))
    return kEchoFailed;
  return static_cast<std::int16_t>(reply.roundTripTimeMs);
}

}  // namespace

std::int16_t ProbeEcho(platform::Icmp& icmp, const std::string& host, std::int16_t timeoutMs) {
  SocketLibrarySession session(icmp);
  const auto destination = Destination(icmp, host);
  auto handle = icmp.openEchoHandle();
  if (!handle) return kNoEchoHandle;
  if (!destination || timeoutMs < 0) return kEchoFailed;
  return ResultOf(handle->sendEcho(*destination, kRequestData, kTtl, std::uint32_t(timeoutMs)));
}

}  // namespace orvane
