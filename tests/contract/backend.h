// The contract suite: one set of cases per platform interface, run against every implementation
// (the fake the unit tests rely on, and the real layers of the target). Each implementation is a
// Backend; each test program instantiates the suites for the backends it has.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace contract {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// What a server does on each connection it accepts; after the last step it closes in order.
struct PeerStep {
  enum Kind { Send, Pause, Reset, Stream } kind;
  Bytes bytes;
  std::chrono::milliseconds pause{};
};
inline PeerStep Send(Bytes bytes) { return {PeerStep::Send, std::move(bytes)}; }
inline PeerStep Pause(std::chrono::milliseconds ms) { return {PeerStep::Pause, {}, ms}; }
inline const PeerStep kReset{PeerStep::Reset, {}}, kStream{PeerStep::Stream, {}};

class Peer {
 public:
  virtual ~Peer() = default;
  virtual std::string host() const = 0;
  virtual std::uint16_t port() const = 0;
  // Connections accepted so far.
  virtual int accepted() const = 0;
};

class Backend {
 public:
  virtual ~Backend() = default;
  virtual platform::Toolkit& toolkit() = 0;
  virtual platform::Clock& clock() = 0;
  // A server running the steps on every connection; with refuse, none listens at its address.
  virtual std::unique_ptr<Peer> serve(std::vector<PeerStep> steps, bool refuse = false) = 0;
  // The description of an error the system gives in this backend, where the case checks it.
  virtual std::string describe(const char* error) const = 0;
  // Whether the system tells a reset connection from a closed one (Wine does not).
  virtual bool seesResets() const { return true; }
};

struct BackendMaker {
  const char* name;
  std::function<std::unique_ptr<Backend>()> make;
};
inline void PrintTo(const BackendMaker& maker, std::ostream* out) { *out << maker.name; }
inline std::string BackendName(const testing::TestParamInfo<BackendMaker>& info) {
  return info.param.name;
}

// The fixture of every contract case: a fresh backend, and waits on its own clock.
class Contract : public testing::TestWithParam<BackendMaker> {
 protected:
  void SetUp() override { backend = GetParam().make(); }
  // Handles events for the given time, or until the condition holds.
  void Wait(
      std::chrono::milliseconds time, const std::function<bool()>& done = [] { return false; }) {
    const auto deadline = backend->clock().monotonicNow() + time;
    while (!done() && backend->clock().monotonicNow() < deadline)
      backend->toolkit().waitForEvents(deadline);
  }
  std::unique_ptr<Backend> backend;
};

// The backends of this test program, each contract suite runs against all of them.
std::vector<BackendMaker> Backends();
#define CONTRACT_SUITE(Suite) \
  INSTANTIATE_TEST_SUITE_P(, Suite, testing::ValuesIn(contract::Backends()), contract::BackendName)

// A TCP server on 127.0.0.1, for the real layers.
std::unique_ptr<Peer> ServeLocally(std::vector<PeerStep> steps, bool refuse);

// The fake platform as a backend.
std::unique_ptr<Backend> MakeFakeBackend();

}  // namespace contract
