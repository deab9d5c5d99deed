// ICMP echo: the socket library's start-up and release, resolution of a host text to its first
// IPv4 address, and one echo request through an echo handle.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/unique_handle.h"

namespace platform {

// An IPv4 address, octets in network order.
using Ipv4Address = std::array<std::uint8_t, 4>;

// The first reply record of an echo call, and how many records the call stored.
struct EchoReply {
  std::uint32_t repliesStored = 0;
  std::uint32_t status = 0;  // 0 is success (IP_SUCCESS)
  std::uint32_t roundTripTimeMs = 0;
};

// An open echo handle; destroying it closes the handle.
class EchoHandle : public Interface {
 public:
  // Sends one echo request and blocks until the answer or the time-out.
  virtual EchoReply sendEcho(const Ipv4Address& destination, std::span<const std::uint8_t> data,
                             std::uint8_t ttl, std::uint32_t timeoutMs) = 0;
};

class Icmp : public Interface {
 public:
  virtual void startSocketLibrary() = 0;
  virtual void cleanupSocketLibrary() = 0;
  virtual std::optional<Ipv4Address> resolveFirstIpv4(const std::string& host) = 0;
  // Null when no echo handle can be had.
  virtual std::unique_ptr<EchoHandle> openEchoHandle() = 0;
};

}  // namespace platform
