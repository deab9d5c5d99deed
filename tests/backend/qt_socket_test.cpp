// The socket control against a local server on 127.0.0.1.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <thread>

#include "platform/qt/qt_toolkit.h"

namespace {

using namespace std::chrono_literals;

// Accepts one connection on a free port of 127.0.0.1 and runs a script on it.
class LocalServer {
 public:
  explicit LocalServer(const std::function<void(int)>& script) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    static_cast<void>(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address));
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    static_cast<void>(::listen(listener_, 1));
    thread_ = std::thread([this, script] {
      const int connection = ::accept(listener_, nullptr, nullptr);
      if (connection < 0) return;
      script(connection);
      ::close(connection);
    });
  }
  ~LocalServer() {
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
  }
  std::uint16_t port() const { return port_; }

 private:
  int listener_;
  std::uint16_t port_;
  std::thread thread_;
};

void Send(int fd, std::vector<std::uint8_t> bytes) { ::send(fd, bytes.data(), bytes.size(), 0); }

class QtSocketTest : public ::testing::Test {
 protected:
  QtSocketTest() {
    socket.setOnDataArrival([this](std::int32_t n) {
      arrivals.push_back(n);
      const auto bytes = socket.readAll();
      received.insert(received.end(), bytes.begin(), bytes.end());
    });
    socket.setOnError([this](std::int32_t, const std::string& text) { errors.push_back(text); });
    socket.setOnClose([this] { ++closes; });
  }

  // Handles events until the condition holds or two seconds pass.
  void WaitFor(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (!done() && std::chrono::steady_clock::now() < deadline) toolkit.waitForEvents(deadline);
  }

  platform::qt::QtToolkit toolkit{""};
  platform::qt::QtTcpSocket socket;
  std::vector<std::int32_t> arrivals;
  std::vector<std::uint8_t> received;
  std::vector<std::string> errors;
  int closes = 0;
};

TEST_F(QtSocketTest, DataArrivesAndThePeersCloseIsNoError) {
  LocalServer server([](int fd) { Send(fd, {0xE9, 0x3C, 0x7F, 0x00}); });
  socket.connect("127.0.0.1", server.port());
  WaitFor([&] { return closes > 0; });
  EXPECT_EQ(received, (std::vector<std::uint8_t>{0xE9, 0x3C, 0x7F, 0x00}));
  EXPECT_FALSE(arrivals.empty());
  EXPECT_EQ(closes, 1);
  EXPECT_TRUE(errors.empty());
}

TEST_F(QtSocketTest, SplitReplyArrivesInTwoEvents) {
  LocalServer server([](int fd) {
    Send(fd, {0xE9, 0x3C});
    std::this_thread::sleep_for(200ms);
    Send(fd, {0x7F, 0x00});
  });
  socket.connect("127.0.0.1", server.port());
  WaitFor([&] { return received.size() == 4; });
  EXPECT_EQ(received.size(), 4u);
  EXPECT_EQ(arrivals.size(), 2u);
  EXPECT_EQ(arrivals.front(), 2);
}

TEST_F(QtSocketTest, CloseWithoutDataRaisesOnlyTheCloseEvent) {
  LocalServer server([](int) {});
  socket.connect("127.0.0.1", server.port());
  WaitFor([&] { return closes > 0; });
  EXPECT_EQ(closes, 1);
  EXPECT_TRUE(arrivals.empty());
  EXPECT_TRUE(errors.empty());
}

TEST_F(QtSocketTest, RefusedConnectionIsAnErrorWithQtsDescription) {
  std::uint16_t port;
  {
    LocalServer closed([](int) {});
    port = closed.port();
  }  // nothing listens there any more
  socket.connect("127.0.0.1", port);
  WaitFor([&] { return !errors.empty(); });
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "連線被拒") << "Qt's description, in the user's language";
}

TEST_F(QtSocketTest, OurOwnCloseDropsTheConnectionsEvents) {
  LocalServer server([](int fd) {
    std::this_thread::sleep_for(100ms);
    Send(fd, {1, 2, 3, 4});
  });
  socket.connect("127.0.0.1", server.port());
  const auto connected = std::chrono::steady_clock::now() + 30ms;
  while (std::chrono::steady_clock::now() < connected) toolkit.waitForEvents(connected);
  socket.close();
  WaitFor([&] { return !arrivals.empty(); });
  EXPECT_TRUE(arrivals.empty());
  EXPECT_EQ(closes, 0);
  EXPECT_TRUE(errors.empty());
}

}  // namespace
