// The echo probe: how far away one host is.
#pragma once

#include <cstdint>
#include <string>

#include "platform/icmp.h"

namespace orvane {

constexpr std::int16_t kNoEchoHandle = -2;
constexpr std::int16_t kEchoFailed = -3;

// One ICMP echo to the host's first IPv4 address: the round-trip time in milliseconds (0 or more),
// kNoEchoHandle when no echo handle could be opened, kEchoFailed for every other failure.
std::int16_t ProbeEcho(platform::Icmp& icmp, const std::string& host, std::int16_t timeoutMs);

}  // namespace orvane
