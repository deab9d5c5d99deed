// The time servers the clock setter chooses from, and the choice.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace orvane {

constexpr std::size_t kServerCount = 5;
// They answer the Time protocol (RFC 868) on this TCP port.
constexpr std::uint16_t kTimePort = 37;
// A probe that gave no usable answer counts as this many milliseconds.
constexpr std::int16_t kFailedProbe = 9999;

// One row: "address_host name_site", the dotted IPv4 address first.
using ServerEntry = std::string;
using ServerTable = std::array<ServerEntry, kServerCount>;

const ServerTable& TimeServers();

// The text before the first "_".
std::string AddressOf(const ServerEntry& entry);

// The row with the smallest result; ties go to the lower row, and row 0 when every probe failed.
std::size_t ChooseFastest(const std::array<std::int16_t, kServerCount>& results);

// "(47ms)" for an answer, "(bad)" for a failed probe.
std::string ProbeDisplayText(std::int16_t probeResult);

}  // namespace orvane
