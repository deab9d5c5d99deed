// The Time protocol's reply: four bytes, an unsigned big-endian count of seconds since
// 1900-01-01 00:00:00 UTC, and the clock record made from it.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>

#include "platform/clock.h"

namespace orvane {

constexpr std::size_t kReplySize = 4;

// The count in the first four bytes; the caller makes sure there are four.
std::uint32_t ReplyCount(std::span<const std::uint8_t> reply);

// The UTC time a count stands for. The 32-bit count wraps on 2036-02-07 06:28:16 UTC; a count
// with its top bit clear belongs to the era after that (as in NTP), which keeps every count sent
// today as it was and covers 1968-01-20 03:14:08 to 2104-02-26 09:42:23 UTC.
std::chrono::sys_seconds ServerTimeFromCount(std::uint32_t count);

// The record for setting the clock: the whole second, day of week and milliseconds 0.
platform::SystemTimeRecord ClockRecordFrom(std::chrono::sys_seconds utc);

// The received time as it is displayed: at UTC+8, whatever the computer's own time zone.
std::chrono::local_seconds DisplayedServerTime(std::chrono::sys_seconds utc);

}  // namespace orvane
