// ICMP echo on Linux: an unprivileged ICMP datagram socket where the system allows it, a raw
// socket otherwise. Statuses follow the Windows IP_STATUS codes the programs expect.
#pragma once

#include "platform/icmp.h"

namespace platform::qt {

constexpr std::uint32_t kIpDestNetUnreachable = 11002;
constexpr std::uint32_t kIpDestHostUnreachable = 11003;
constexpr std::uint32_t kIpDestProtUnreachable = 11004;
constexpr std::uint32_t kIpDestPortUnreachable = 11005;
constexpr std::uint32_t kIpReqTimedOut = 11010;
constexpr std::uint32_t kIpTtlExpiredTransit = 11013;
constexpr std::uint32_t kIpGeneralFailure = 11050;

class PosixIcmp : public Icmp {
 public:
  void startSocketLibrary() override {}
  void cleanupSocketLibrary() override {}
  std::optional<Ipv4Address> resolveFirstIpv4(const std::string& host) override;
  std::unique_ptr<EchoHandle> openEchoHandle() override;
};

}  // namespace platform::qt
