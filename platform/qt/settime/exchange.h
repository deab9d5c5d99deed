// The helper's one connection to a time server, relayed to the window as it goes, and the
// setting of the clock from its reply when the window asks for it.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <functional>
#include <optional>
#include <vector>

#include "platform/qt/settime/clock_step.h"

namespace platform::qt::settime {

// When the data read into `message` arrived, by the system clock: the kernel's stamp, or where
// it stamped nothing, the connection's own record of its last data; none without either.
std::optional<timespec> ArrivalOf(int tcp, msghdr& message);

// How the helper ends: the window let go; wrong arguments; a server it may not reach; it could
// not let its other rights go; the window's words made no sense.
constexpr int kLetGo = 0, kUsage = 2, kRefused = 3, kRightsKept = 4, kGarbled = 5;

class Exchange {
 public:
  using Permission = std::function<bool(const sockaddr_in& server)>;
  // channel: the socket pair to the window; mayReach: whether a server may be connected to.
  Exchange(int channel, Permission mayReach);
  // Until the window lets go of the channel; the exit code.
  int run();

 private:
  // The window's words; an exit code once the run is over.
  std::optional<int> serve();
  std::optional<int> start(const Server& server);
  void connected();
  void receive();
  bool setClock(std::time_t serverTime);
  void end(Kind kind, int error = 0);

  int channel_;
  Permission mayReach_;
  ClockWatch watch_;  // made before the connection, so it sees any setting after it began
  std::optional<sockaddr_in> server_;
  timespec started_{};
  Fd tcp_;
  bool connecting_ = false;
  std::vector<std::uint8_t> reply_;  // the first bytes the server sent
  std::optional<timespec> arrival_;  // the system clock when they came
  std::vector<std::uint8_t> requests_;
};

}  // namespace platform::qt::settime
