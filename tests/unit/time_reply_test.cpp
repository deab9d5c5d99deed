#include "clocksetter/time_reply.h"

#include <gtest/gtest.h>

#include "clocksetter/quiet_mode.h"
#include "tests/fake/fake_platform.h"

namespace {

using namespace std::chrono;
using platform::SystemTimeRecord;

sys_seconds Utc(int y, unsigned mo, unsigned d, int h, int mi, int s) {
  return sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi} + seconds{s};
}

std::uint32_t CountOf(std::vector<std::uint8_t> bytes) { return orvane::ReplyCount(bytes); }

TEST(TimeReply, DecodesTheKnownRepliesToTheirClockRecords) {
  struct Case {
    std::vector<std::uint8_t> bytes;
    SystemTimeRecord record;
  } cases[] = {
      {{0xE9, 0x3C, 0x7F, 0x00}, {2024, 1, 0, 1, 0, 0, 0, 0}},
      {{0xE9, 0x3D, 0x60, 0x3B}, {2024, 1, 0, 1, 16, 0, 59, 0}},
      {{0x83, 0xAA, 0x7E, 0x80}, {1970, 1, 0, 1, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    const auto utc = orvane::ServerTimeFromCount(CountOf(c.bytes));
    EXPECT_EQ(orvane::ClockRecordFrom(utc), c.record) << int(c.record.year);
  }
}

TEST(TimeReply, ReadsTheCountBigEndianFromTheFirstFourBytes) {
  EXPECT_EQ(CountOf({0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF}), 0x01020304u);
  EXPECT_EQ(CountOf({0xFF, 0xFF, 0xFF, 0xFF}), 0xFFFFFFFFu);
}

TEST(TimeReply, CountsWithTheTopBitClearBelongToTheEraAfter2036) {
  EXPECT_EQ(orvane::ServerTimeFromCount(0xFFFFFFFF), Utc(2036, 2, 7, 6, 28, 15));
  EXPECT_EQ(orvane::ServerTimeFromCount(0x00000000), Utc(2036, 2, 7, 6, 28, 16));
  EXPECT_EQ(orvane::ServerTimeFromCount(0x7FFFFFFF), Utc(2104, 2, 26, 9, 42, 23));
  EXPECT_EQ(orvane::ServerTimeFromCount(0x80000000), Utc(1968, 1, 20, 3, 14, 8));
  EXPECT_EQ(orvane::ClockRecordFrom(orvane::ServerTimeFromCount(5)),
            (SystemTimeRecord{2036, 2, 0, 7, 6, 28, 21, 0}));
}

TEST(TimeReply, DisplaysTheReceivedTimeAtUtcPlusEight) {
  fake::EventQueue queue;
  fake::FakeClock clock(queue);
  const auto text = [&](sys_seconds utc) {
    return clock.dateTimeText(orvane::DisplayedServerTime(utc));
  };
  EXPECT_EQ(text(Utc(2024, 1, 1, 0, 0, 0)), "2024-01-01 08:00:00");
  EXPECT_EQ(text(Utc(2024, 1, 1, 16, 0, 59)), "2024-01-02 00:00:59");
  EXPECT_EQ(text(Utc(1970, 1, 1, 0, 0, 0)), "1970-01-01 08:00:00");
  // Midnight at UTC+8 is shown as the date alone.
  EXPECT_EQ(text(Utc(2024, 1, 1, 16, 0, 0)), "2024-01-02");
}

TEST(QuietMode, FindsSlashQInEitherCaseAnywhereInTheLine) {
  EXPECT_TRUE(orvane::IsQuietMode("/Q"));
  EXPECT_TRUE(orvane::IsQuietMode("/q"));
  EXPECT_TRUE(orvane::IsQuietMode("other /quiet"));
  EXPECT_TRUE(orvane::IsQuietMode("x/qx"));
  EXPECT_FALSE(orvane::IsQuietMode("-q"));
  EXPECT_FALSE(orvane::IsQuietMode("Q"));
  EXPECT_FALSE(orvane::IsQuietMode("/ Q"));
  EXPECT_FALSE(orvane::IsQuietMode(""));
}

}  // namespace
