// The echo. (Pelstow asks the OS query first on every run, which the e2e suite shows.)
#include "tests/backend/backend_env.h"
#include "tests/contract/backend.h"

namespace contract {

namespace {

class EchoContract : public Contract {};

TEST_F(EchoContract, TheLoopbackAnswersAnEchoAndAnAddressWithoutARouteDoesNot) {
  auto& icmp = P().icmp;
  icmp.startSocketLibrary();
  EXPECT_EQ(icmp.resolveFirstIpv4("129.6.15.28"), (platform::Ipv4Address{129, 6, 15, 28}));
  EXPECT_FALSE(icmp.resolveFirstIpv4("no-such-host.invalid"));
  if (!InLab()) GTEST_SKIP() << "echoes only in the lab";
  const std::vector<std::uint8_t> data(32, 'A');
  auto handle = icmp.openEchoHandle();
  ASSERT_TRUE(handle);
  const auto reply = handle->sendEcho({127, 0, 0, 1}, data, 255, 1000);
  EXPECT_EQ(std::tie(reply.repliesStored, reply.status), std::make_tuple(1u, 0u));
  const auto start = P().clock.monotonicNow();
  const auto nowhere = handle->sendEcho({192, 0, 2, 1}, data, 255, 500);  // TEST-NET-1
  EXPECT_NE(nowhere.status, 0u) << "no answer: the first record says why";
  EXPECT_LE(P().clock.monotonicNow() - start, 600ms);
  icmp.cleanupSocketLibrary();
}

}  // namespace

}  // namespace contract
