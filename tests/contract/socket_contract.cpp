// The socket control: what each kind of peer raises, and that one connect is one connection.
#include "tests/contract/backend.h"

namespace contract {

namespace {

class SocketContract : public Contract {
 protected:
  void SetUp() override {
    Contract::SetUp();
    window = P().toolkit.createWindow({"contract", 4680, 2985});
    socket = &window->addTcpSocket("Winsock1");
    socket->setOnDataArrival([this](std::int32_t) {
      const auto bytes = socket->readAll();
      received.insert(received.end(), bytes.begin(), bytes.end());
      ++arrivals;
    });
    socket->setOnError([this](std::int32_t, const std::string& text) { errors.push_back(text); });
    socket->setOnClose([this] { ++closes; });
  }
  void Connect(const Peer& peer) { socket->connect(peer.host(), peer.port()); }

  std::unique_ptr<platform::Window> window;
  platform::TcpSocket* socket = nullptr;
  Bytes received;
  int arrivals = 0, closes = 0;
  std::vector<std::string> errors;
};

// An orderly close is the close event; a reset or a refusal is one error with the system's
// description (Wine tells a reset as a close: still one end, never none); whatever happens, each
// connect makes exactly one connection.
TEST_F(SocketContract, EachKindOfPeerRaisesItsEventsOnceOverOneConnection) {
  const Bytes time = {0xE9, 0x3C, 0x7F, 0x00}, half = {0xE9, 0x3C}, rest = {0x7F, 0x00};
  struct Row {
    const char* peer;
    std::vector<PeerStep> steps;
    bool refuse;
    Bytes received;
    int minArrivals, closes;
    const char* error;
  } rows[] = {
      {"replies and closes", {Send(time)}, false, time, 1, 1, nullptr},
      {"splits its reply", {Send(half), Pause(200ms), Send(rest)}, false, time, 2, 1, nullptr},
      {"closes without a word", {}, false, {}, 0, 1, nullptr},
      {"resets at once", {kReset}, false, {}, 0, 0, "reset"},
      {"resets after two bytes", {Send(half), Pause(100ms), kReset}, false, half, 1, 0, "reset"},
      {"refuses", {}, true, {}, 0, 0, "refused"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.peer);
    // Wine hands a reset over as an orderly close, recv giving 0, with no error anywhere.
    const bool asClose = row.error && std::string(row.error) == "reset" && backend->isWine();
    const auto peer = backend->serve(row.steps, row.refuse);
    received.clear();
    errors.clear();
    arrivals = closes = 0;
    Connect(*peer);
    EXPECT_TRUE(errors.empty()) << "raised from the message loop, never from connect itself";
    Wait(600ms);
    EXPECT_EQ(received, row.received);
    EXPECT_GE(arrivals, row.minArrivals);
    EXPECT_EQ(closes, asClose ? 1 : row.closes);
    EXPECT_EQ(errors, row.error && !asClose ? std::vector{backend->describe(row.error)}
                                            : std::vector<std::string>{});
    EXPECT_EQ(peer->accepted(), row.refuse ? 0 : 1);
    socket->close();
  }
}

TEST_F(SocketContract, OurOwnCloseDropsTheConnectionsEvents) {
  const auto peer = backend->serve({Pause(100ms), Send({1, 2, 3, 4})});
  Connect(*peer);
  Wait(30ms);
  socket->close();
  Wait(300ms);
  EXPECT_EQ(arrivals + closes + int(errors.size()), 0);
}

}  // namespace

}  // namespace contract
