// A clock setter on the fake platform, with helpers to script its servers.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "clocksetter/frm時間校正.h"
#include "clocksetter/server_table.h"
#include "tests/fake/fake_platform.h"

namespace orvane_test {

using namespace std::chrono_literals;
using fake::TimePoint;

inline std::string RowAddress(std::size_t row) {
  return orvane::AddressOf(orvane::TimeServers()[row]);
}

// The fake platform with a clock setter on it, rebuilt whole for each case.
struct World {
  World() { form = std::make_unique<orvane::frm時間校正>(toolkit, clock, icmp); }
  fake::EventQueue queue;
  fake::FakeToolkit toolkit{queue};
  fake::FakeClock clock{queue};
  fake::FakeIcmp icmp{queue};
  std::unique_ptr<orvane::frm時間校正> form;
};

class ClockSetterTest : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  virtual void Reset() { world = std::make_unique<World>(); }

  // Every row answers its echo; row i after the given milliseconds.
  void EchoTimes(std::array<std::uint32_t, 5> ms) {
    for (std::size_t i = 0; i < ms.size(); ++i) icmp().answers[RowAddress(i)] = fake::Reply(ms[i]);
  }
  // The chosen server's behaviour on the next connection.
  void Server(fake::ConnectionScript script) { socket().scripts.push_back(std::move(script)); }

  int Run() { return toolkit().run(form().window()); }

  fake::FakeWindow& window() { return toolkit().window(); }
  fake::FakeControl& Control(const std::string& name) { return window().control(name); }
  std::string Caption(const std::string& name) { return Control(name).caption(); }
  fake::FakeSocket& socket() { return window().socket(); }
  TimePoint ConnectTime(std::size_t i = 0) { return socket().connects.at(i).when; }

  fake::EventQueue& queue() { return world->queue; }
  fake::FakeToolkit& toolkit() { return world->toolkit; }
  fake::FakeClock& clock() { return world->clock; }
  fake::FakeIcmp& icmp() { return world->icmp; }
  orvane::frm時間校正& form() { return *world->form; }

  std::unique_ptr<World> world;
};

// 2024-01-01 00:00:00 UTC.
inline const std::vector<std::uint8_t> kNewYear2024 = {0xE9, 0x3C, 0x7F, 0x00};

}  // namespace orvane_test
