// The echo probe: its result for each kind of echo outcome, and its handles released on every path.
#include <gtest/gtest.h>

#include "clocksetter/Module1.h"
#include "tests/fake/fake_platform.h"

namespace {

using namespace std::chrono_literals;

class ProbeEcho : public ::testing::Test {
 protected:
  std::int16_t Probe(const std::string& host, std::int16_t timeout = 1000) {
    return orvane::ProbeEcho(icmp, host, timeout);
  }
  void ExpectEverythingReleased(int probes = 1) {
    EXPECT_EQ(icmp.startups, probes);
    EXPECT_EQ(icmp.cleanups, probes);
    EXPECT_EQ(icmp.handlesOpened, icmp.handlesClosed);
  }

  fake::EventQueue queue;
  fake::FakeIcmp icmp{queue};
};

TEST_F(ProbeEcho, AnswerGivesTheRoundTripTime) {
  icmp.answers["10.1.2.3"] = fake::Reply(47);
  icmp.answers["10.1.2.4"] = fake::Reply(0);
  EXPECT_EQ(Probe("10.1.2.3"), 47);
  EXPECT_EQ(Probe("10.1.2.4"), 0);
  ExpectEverythingReleased(2);
}

TEST_F(ProbeEcho, SendsThirtyTwoLettersAWithTtl255AndTheTimeOut) {
  icmp.answers["10.1.2.3"] = fake::Reply(5);
  Probe("10.1.2.3", 1000);
  ASSERT_EQ(icmp.echoes.size(), 1u);
  EXPECT_EQ(icmp.echoes[0].data, std::vector<std::uint8_t>(32, 'A'));
  EXPECT_EQ(icmp.echoes[0].ttl, 255);
  EXPECT_EQ(icmp.echoes[0].timeoutMs, 1000u);
  EXPECT_TRUE(icmp.echoes[0].socketLibraryStarted);
}

TEST_F(ProbeEcho, EveryFailedEchoIsMinusThree) {
  icmp.answers["10.0.0.1"] = fake::ErrorStatus(11003);  // unreachable, with a stored record
  icmp.answers["10.0.0.2"] = fake::NoReplyStored();     // the record left zero-filled
  icmp.answers["10.0.0.3"] = fake::Reply(40000);        // not a 16-bit time
  for (const char* host : {"10.0.0.1", "10.0.0.2", "10.0.0.3"}) EXPECT_EQ(Probe(host), -3) << host;
  ExpectEverythingReleased(3);
}

TEST_F(ProbeEcho, SilentHostTimesOutAfterTheTimeOut) {
  EXPECT_EQ(Probe("10.9.9.9", 1000), -3);
  EXPECT_EQ(queue.elapsed(), 1000ms);
}

TEST_F(ProbeEcho, NoEchoHandleIsMinusTwoAndSendsNothing) {
  icmp.refuseHandle = true;
  EXPECT_EQ(Probe("10.1.2.3"), -2);
  EXPECT_TRUE(icmp.echoes.empty());
  ExpectEverythingReleased();
}

TEST_F(ProbeEcho, RefusesWithoutSendingWhatItCannotProbe) {
  const std::string longName = std::string(61, 'a') + ".com";  // 65 characters
  icmp.names[longName] = {{10, 1, 2, 3}};
  for (const auto& host : {std::string("no-such-host.invalid"), longName}) {
    EXPECT_EQ(Probe(host), -3) << host;
  }
  EXPECT_EQ(Probe("10.1.2.3", -1), -3) << "a negative time-out";
  EXPECT_TRUE(icmp.echoes.empty());
  ExpectEverythingReleased(3);
}

TEST_F(ProbeEcho, ProbesOnlyTheFirstAddressOfAName) {
  icmp.names["time.example"] = {{10, 0, 0, 7}, {10, 0, 0, 8}};
  icmp.answers["10.0.0.7"] = fake::Reply(9);
  icmp.answers["10.0.0.8"] = fake::Reply(1);
  EXPECT_EQ(Probe("time.example"), 9);
  ASSERT_EQ(icmp.echoes.size(), 1u);
  EXPECT_EQ(icmp.echoes[0].destination, "10.0.0.7");
}

TEST_F(ProbeEcho, ReleasesEverythingWhenTheEchoCallFails) {
  icmp.throwOnSend = [] { throw std::runtime_error("entry point not found"); };
  EXPECT_THROW(Probe("10.1.2.3"), std::runtime_error);
  ExpectEverythingReleased();
  EXPECT_EQ(icmp.handlesClosed, 1);
}

}  // namespace
