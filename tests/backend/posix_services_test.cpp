// The echo and the clock on the real system, inside the lab.
#include <gtest/gtest.h>
#include <netinet/ip_icmp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "platform/qt/posix_clock.h"
#include "platform/qt/posix_icmp.h"
#include "tests/backend/backend_env.h"

namespace {

using namespace std::chrono;

class EchoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InLab()) GTEST_SKIP() << "echo tests run only in the lab (no user namespaces here)";
  }
  // Whether unprivileged ICMP datagram sockets are allowed; raw sockets are the fallback.
  static void AllowDatagramSockets(bool allow) {
    std::ofstream("/proc/sys/net/ipv4/ping_group_range") << (allow ? "0 2147483647" : "1 0");
  }
  platform::EchoReply Echo(const platform::Ipv4Address& to, std::uint32_t timeoutMs = 1000) {
    auto handle = icmp.openEchoHandle();
    EXPECT_TRUE(handle);
    if (!handle) return {};
    const std::vector<std::uint8_t> data(32, 'A');
    return handle->sendEcho(to, data, 255, timeoutMs);
  }
  platform::qt::PosixIcmp icmp;
};

TEST_F(EchoTest, LoopbackAnswersOverDatagramAndRawSockets) {
  for (bool datagram : {true, false}) {
    AllowDatagramSockets(datagram);
    const auto reply = Echo({127, 0, 0, 1});
    EXPECT_EQ(reply.repliesStored, 1u) << datagram;
    EXPECT_EQ(reply.status, 0u) << datagram;
    EXPECT_LT(reply.roundTripTimeMs, 100u) << datagram;
  }
}

// Another program's echo reply, or an error about another program's echo, in every sequence.
void Forge(std::atomic<bool>& stop) {
  const int fd = ::socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const auto ours = std::uint16_t(::getpid());
  std::vector<std::uint8_t> reply(8 + 32, 'A'), error(8 + 20 + 8, 0);
  reply[0] = ICMP_ECHOREPLY;
  error[0] = ICMP_DEST_UNREACH;
  error[1] = ICMP_HOST_UNREACH;
  error[8] = 0x45;  // the quoted request: to 127.0.0.2, not to 127.0.0.1
  error[8 + 9] = IPPROTO_ICMP;
  const std::uint8_t elsewhere[] = {127, 0, 0, 2};
  std::copy(std::begin(elsewhere), std::end(elsewhere), error.begin() + 8 + 16);
  error[28] = ICMP_ECHO;
  while (!stop) {
    for (unsigned sequence = 0; sequence < 65536 && !stop; ++sequence) {
      const auto put = [&](std::vector<std::uint8_t>& packet, std::size_t at, std::uint16_t id) {
        packet[at + 4] = std::uint8_t(id >> 8);
        packet[at + 5] = std::uint8_t(id);
        packet[at + 6] = std::uint8_t(sequence >> 8);
        packet[at + 7] = std::uint8_t(sequence);
        ::sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
      };
      put(reply, 0, std::uint16_t(ours + 1));  // someone else's identifier
      put(error, 28, ours);
    }
  }
  ::close(fd);
}

// On a raw socket every ICMP message of the host arrives: only the answer to our own request,
// from our destination, counts. Here the destination never answers.
TEST_F(EchoTest, ARawEchoTakesNoOtherMessageForItsAnswer) {
  AllowDatagramSockets(false);
  std::ofstream("/proc/sys/net/ipv4/icmp_echo_ignore_all") << "1";
  std::atomic<bool> stop{false};
  std::thread forger(Forge, std::ref(stop));
  const auto reply = Echo({127, 0, 0, 1}, 300);
  stop = true;
  forger.join();
  std::ofstream("/proc/sys/net/ipv4/icmp_echo_ignore_all") << "0";
  AllowDatagramSockets(true);
  EXPECT_EQ(reply.status, platform::qt::kIpReqTimedOut);
}

TEST_F(EchoTest, AddressWithoutARouteIsAFailureStatusAtOnce) {
  const auto start = steady_clock::now();
  const auto reply = Echo({192, 0, 2, 1});  // TEST-NET-1: the lab has no route to it
  EXPECT_NE(reply.status, 0u);
  EXPECT_LT(steady_clock::now() - start, milliseconds(500));
}

TEST_F(EchoTest, ResolvesDottedTextToItsAddress) {
  EXPECT_EQ(icmp.resolveFirstIpv4("129.6.15.28"), (platform::Ipv4Address{129, 6, 15, 28}));
  EXPECT_EQ(icmp.resolveFirstIpv4("localhost"), (platform::Ipv4Address{127, 0, 0, 1}));
  EXPECT_FALSE(icmp.resolveFirstIpv4("no-such-host.invalid"));
}

TEST(PosixClock, RegionalTextIsShortDateAndLongTimeWithoutZone) {
  platform::qt::PosixClock clock;
  const local_seconds morning = local_days{year{2024} / 1 / 1} + hours{8};
  EXPECT_EQ(clock.dateTimeText(morning), "2024/1/1 上午8:00:00");
  EXPECT_EQ(clock.dateTimeText(morning + hours{16} + seconds{59}), "2024/1/2 上午12:00:59");
  EXPECT_EQ(clock.dateTimeText(local_days{year{2024} / 1 / 2}), "2024/1/2");
}

TEST(PosixClock, LongTimeFormatsLoseTheirZone) {
  using platform::qt::LongTimeFormatWithoutZone;
  EXPECT_EQ(LongTimeFormatWithoutZone("Bh:mm:ss [t]"), "APh:mm:ss");
  EXPECT_EQ(LongTimeFormatWithoutZone("h:mm:ss AP t"), "h:mm:ss AP");
  EXPECT_EQ(LongTimeFormatWithoutZone("t HH:mm:ss"), "HH:mm:ss");
  EXPECT_EQ(LongTimeFormatWithoutZone("HH 'h' mm 'min' ss 's' tttt"), "HH 'h' mm 'min' ss 's'");
}

TEST(PosixClock, SettingTheClockInTheLabIsRefused) {
  if (!InLab()) GTEST_SKIP() << "never tried outside a user namespace";
  platform::qt::PosixClock clock;
  const auto now = floor<seconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date{day};
  const hh_mm_ss<seconds> time{now - day};
  const platform::SystemTimeRecord record{std::uint16_t(int(date.year())),
                                          std::uint16_t(unsigned(date.month())),
                                          0,
                                          std::uint16_t(unsigned(date.day())),
                                          std::uint16_t(time.hours().count()),
                                          std::uint16_t(time.minutes().count()),
                                          std::uint16_t(time.seconds().count()),
                                          0};
  EXPECT_FALSE(clock.setSystemTimeUtc(record));
}

TEST(PosixClock, MonotonicWaitsAndSleeps) {
  platform::qt::PosixClock clock;
  const auto start = clock.monotonicNow();
  clock.sleep(milliseconds(50));
  EXPECT_GE(clock.monotonicNow() - start, milliseconds(50));
}

}  // namespace
