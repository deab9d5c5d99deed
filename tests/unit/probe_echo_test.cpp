// The echo probe and the Time protocol's reply: what each outcome gives.
#include <gtest/gtest.h>

#include "clocksetter/Module1.h"
#include "clocksetter/frm時間校正.h"
#include "clocksetter/time_reply.h"
#include "tests/fake/fake_platform.h"

namespace {

using namespace std::chrono;
using fake::EchoAnswer;

// Every call starts and releases the socket library once and closes its echo handle, whatever
// happens; only what can be probed is sent.
TEST(ProbeEcho, GivesTheRoundTripTimeOrANegativeCode) {
  const std::string name64 = std::string(60, 'a') + ".com", name65 = "a" + name64;
  struct Row {
    const char* what;
    std::string host;
    std::optional<EchoAnswer> answer;
    std::int16_t timeout, result;
    bool sent;
  } rows[] = {
      {"an answer", "10.1.2.3", EchoAnswer{EchoAnswer::Reply, 47}, 1000, 47, true},
      {"in no time", "10.1.2.3", EchoAnswer{EchoAnswer::Reply, 0}, 1000, 0, true},
      {"the longest time", "10.1.2.3", EchoAnswer{EchoAnswer::Reply, 32767}, 1000, 32767, true},
      {"not a 16-bit time", "10.1.2.3", EchoAnswer{EchoAnswer::Reply, 32768}, 1000, -3, true},
      {"an error", "10.1.2.3", EchoAnswer{EchoAnswer::ErrorStatus, 0, 11003}, 1000, -3, true},
      {"no reply stored", "10.1.2.3", EchoAnswer{EchoAnswer::NoReplyStored}, 1000, -3, true},
      {"silent", "10.1.2.3", std::nullopt, 1000, -3, true},
      {"a negative time-out", "10.1.2.3", EchoAnswer{EchoAnswer::Reply, 5}, -1, -3, false},
      {"no time-out", "10.1.2.3", EchoAnswer{EchoAnswer::Reply, 0}, 0, 0, true},
      {"no such host", "no-such-host.invalid", std::nullopt, 1000, -3, false},
      {"a 64-character name", name64, EchoAnswer{EchoAnswer::Reply, 9}, 1000, 9, true},
      {"a 65-character name", name65, EchoAnswer{EchoAnswer::Reply, 9}, 1000, -3, false},
  };
  for (const auto& c : rows) {
    SCOPED_TRACE(c.what);
    fake::EventQueue queue;
    fake::FakeIcmp icmp(queue);
    icmp.names[name64] = icmp.names[name65] = {{10, 1, 2, 3}, {10, 1, 2, 4}};
    if (c.answer) icmp.answers["10.1.2.3"] = *c.answer;
    EXPECT_EQ(orvane::ProbeEcho(icmp, c.host, c.timeout), c.result);
    EXPECT_EQ(std::tie(icmp.startups, icmp.cleanups, icmp.handles), std::make_tuple(1, 1, 0));
    ASSERT_EQ(icmp.echoes.size(), c.sent ? 1u : 0u);
    if (!c.sent) continue;
    const auto& echo = icmp.echoes[0];
    EXPECT_EQ(echo.destination, "10.1.2.3") << "the first address of a name";
    EXPECT_EQ(echo.data, fake::Bytes(32, 'A'));
    EXPECT_EQ(std::tie(echo.ttl, echo.timeoutMs, echo.socketLibraryStarted),
              std::make_tuple(std::uint8_t{255}, std::uint32_t(c.timeout), true));
    if (!c.answer) {
      EXPECT_EQ(queue.elapsed(), 1000ms) << "a silent host costs its time-out";
    }
  }
}

TEST(ProbeEcho, WithoutAnEchoHandleSendsNothingAndReleasesAllOnEveryPath) {
  fake::EventQueue queue;
  fake::FakeIcmp icmp(queue);
  icmp.refuseHandle = true;
  EXPECT_EQ(orvane::ProbeEcho(icmp, "10.1.2.3", 1000), -2);
  EXPECT_TRUE(icmp.echoes.empty());
  icmp.refuseHandle = false;
  icmp.throwOnSend = true;
  EXPECT_THROW(orvane::ProbeEcho(icmp, "10.1.2.3", 1000), std::runtime_error);
  EXPECT_EQ(std::tie(icmp.startups, icmp.cleanups, icmp.handles), std::make_tuple(2, 2, 0));
}

sys_seconds Utc(int y, unsigned mo, unsigned d, int h, int mi, int s) {
  return sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi} + seconds{s};
}

// Big-endian seconds since 1900; a count with its top bit clear is in the era after 2036.
TEST(TimeReply, DecodesCountsToTheTimeTheRecordAndTheTextAtUtcPlusEight) {
  struct Case {
    fake::Bytes bytes;
    sys_seconds utc;
    const char* shown;
  } cases[] = {
      {{0xE9, 0x3C, 0x7F, 0x00}, Utc(2024, 1, 1, 0, 0, 0), "2024-01-01 08:00:00"},
      {{0xE9, 0x3D, 0x60, 0x3B, 0xFF}, Utc(2024, 1, 1, 16, 0, 59), "2024-01-02 00:00:59"},
      {{0xE9, 0x3D, 0x60, 0x00}, Utc(2024, 1, 1, 16, 0, 0), "2024-01-02"},  // midnight at +8
      {{0x83, 0xAA, 0x7E, 0x80}, Utc(1970, 1, 1, 0, 0, 0), "1970-01-01 08:00:00"},
      {{0xFF, 0xFF, 0xFF, 0xFF}, Utc(2036, 2, 7, 6, 28, 15), "2036-02-07 14:28:15"},
      {{0x00, 0x00, 0x00, 0x05}, Utc(2036, 2, 7, 6, 28, 21), "2036-02-07 14:28:21"},
      {{0x7F, 0xFF, 0xFF, 0xFF}, Utc(2104, 2, 26, 9, 42, 23), "2104-02-26 17:42:23"},
      {{0x80, 0x00, 0x00, 0x00}, Utc(1968, 1, 20, 3, 14, 8), "1968-01-20 11:14:08"},
  };
  fake::EventQueue queue;
  fake::FakeClock clock(queue);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shown);
    const auto utc = orvane::ServerTimeFromCount(orvane::ReplyCount(c.bytes));
    EXPECT_EQ(utc, c.utc);
    EXPECT_EQ(clock.dateTimeText(orvane::DisplayedServerTime(utc)), c.shown);
  }
}

TEST(QuietMode, IsSlashQInEitherCaseAnywhereInTheLine) {
  for (const char* line : {"/Q", "/q", "other /quiet", "x/qx"})
    EXPECT_TRUE(orvane::IsQuietMode(line));
  for (const char* line : {"-q", "Q", "/ Q", "/ q", ""}) EXPECT_FALSE(orvane::IsQuietMode(line));
}

}  // namespace
