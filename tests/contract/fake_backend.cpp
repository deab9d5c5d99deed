// The fake platform as a contract backend: a peer is the script of the window's socket.
#include "tests/contract/backend.h"
#include "tests/fake/fake_platform.h"

namespace contract {

namespace {

class FakePeer : public Peer {
 public:
  FakePeer(fake::FakeSocket& socket, bool refuse)
      : socket_(socket), before_(socket.connects.size()), refuse_(refuse) {}
  std::string host() const override { return "10.0.0.1"; }
  std::uint16_t port() const override { return 37; }
  // A refused attempt reaches no server.
  int accepted() const override { return refuse_ ? 0 : int(socket_.connects.size() - before_); }

 private:
  fake::FakeSocket& socket_;
  std::size_t before_;
  bool refuse_;
};

class FakeBackend : public Backend {
 public:
  platform::Toolkit& toolkit() override { return toolkit_; }
  platform::Clock& clock() override { return clock_; }
  std::unique_ptr<Peer> serve(std::vector<PeerStep> steps, bool refuse) override {
    fake::FakeSocket& socket = toolkit_.window().socket();
    fake::ConnectionScript script;
    fake::Duration at{};
    bool closes = true;
    for (const PeerStep& step : steps) {
      if (step.kind == PeerStep::Send) script.push_back(fake::Data(at, step.bytes));
      if (step.kind == PeerStep::Pause) at += step.pause;
      if (step.kind == PeerStep::Stream) {
        for (int i = 0; i < 1000; ++i) script.push_back(fake::Data(at + i * 1ms, Bytes(1 << 16)));
        closes = false;
      }
      if (step.kind == PeerStep::Reset) {
        script.push_back(fake::Failure(at, describe("reset")));
        closes = false;
        break;
      }
    }
    if (closes) script.push_back(fake::PeerClose(at));
    if (refuse) script = {fake::Failure(0ms, describe("refused"))};
    socket.scripts.push_back(script);
    return std::make_unique<FakePeer>(socket, refuse);
  }
  std::string describe(const char* error) const override {
    return std::string("fake: connection ") + error;
  }

 private:
  fake::EventQueue queue_;
  fake::FakeToolkit toolkit_{queue_};
  fake::FakeClock clock_{queue_};
};

}  // namespace

std::unique_ptr<Backend> MakeFakeBackend() { return std::make_unique<FakeBackend>(); }

}  // namespace contract
