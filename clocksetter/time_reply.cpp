#include "clocksetter/time_reply.h"

namespace orvane {

using namespace std::chrono;

namespace {
constexpr std::int64_t kSeconds1900To1970 = 2208988800;
constexpr std::int64_t kEraLength = std::int64_t{1} << 32;
constexpr std::uint32_t kEraBit = 0x80000000u;
}  // namespace

std::uint32_t ReplyCount(std::span<const std::uint8_t> reply) {
  return std::uint32_t{reply[0]} << 24 | std::uint32_t{reply[1]} << 16 |
         std::uint32_t{reply[2]} << 8 | std::uint32_t{reply[3]};
}

sys_seconds ServerTimeFromCount(std::uint32_t count) {
  std::int64_t since1900 = count;
  if ((count & kEraBit) == 0) since1900 += kEraLength;
  return sys_seconds{seconds{since1900 - kSeconds1900To1970}};
}

platform::SystemTimeRecord ClockRecordFrom(sys_seconds utc) {
  const auto day = floor<days>(utc);
  const year_month_day date{day};
  const hh_mm_ss<seconds> time{utc - day};
  platform::SystemTimeRecord record;
  record.year = static_cast<std::uint16_t>(int(date.year()));
  record.month = static_cast<std::uint16_t>(unsigned(date.month()));
  record.day = static_cast<std::uint16_t>(unsigned(date.day()));
  record.hour = static_cast<std::uint16_t>(time.hours().count());
  record.minute = static_cast<std::uint16_t>(time.minutes().count());
  record.second = static_cast<std::uint16_t>(time.seconds().count());
  return record;
}

local_seconds DisplayedServerTime(sys_seconds utc) {
  return local_seconds{(utc + hours{8}).time_since_epoch()};
}

}  // namespace orvane
