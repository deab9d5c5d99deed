// The helper's one connection to a time server, relayed to the window as it goes, and its one
// setting of the clock from that reply when the window asks for it.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <functional>
#include <optional>
#include <vector>

#include "settime/clock_step.h"
#include "settime/frames.h"

namespace orvane::settime {

// When the data read into `message` arrived, by the system clock: the kernel's stamp, or where
// it stamped nothing, the connection's own record of its last data; none without either.
std::optional<timespec> ArrivalOf(int tcp, msghdr& message);

// How the helper ends.
enum Exit : int {
  kLetGo = 0,          // the window let go of the channel
  kChannelFailed = 1,  // the channel could not be watched
  kUsage = 2,          // started with arguments
  kRefused = 3,        // asked for a server that is not one of the table's, on port 37
  kRightsKept = 4,     // could not let its other rights, or the clock's after the step, go
  kGarbled = 5,        // a word out of place, or one that makes no sense
  kAskedAgain = 6,     // a word after the answer to Set: one run, one setting
};

class Exchange {
 public:
  using Permission = std::function<bool(const sockaddr_in& server)>;
  // channel: the socket pair to the window; mayReach: whether a server may be connected to;
  // caller: who started the helper, for the record.
  Exchange(int channel, Permission mayReach, uid_t caller);
  // Until the window lets go of the channel, or says what it may not; how the helper ends.
  Exit run();

 private:
  // The window's words, in the one order they may come: Connect, then at most one Set.
  std::optional<Exit> serve();
  std::optional<Exit> start(const Server& server);
  std::optional<Exit> answer(std::time_t serverTime);
  void connected();
  void receive();
  bool setClock(std::time_t serverTime);
  void end(Kind kind, int error = 0);

  enum class Stage { AwaitingServer, Connected, Answered };

  int channel_;
  Permission mayReach_;
  uid_t caller_;
  ClockWatch watch_;  // made before the connection, so it sees any setting after it began
  Stage stage_ = Stage::AwaitingServer;
  std::optional<sockaddr_in> server_;
  timespec started_{};
  Fd tcp_;
  bool connecting_ = false;
  std::vector<std::uint8_t> reply_;  // the first bytes the server sent
  std::optional<timespec> arrival_;  // the system clock when they came
  std::vector<std::uint8_t> requests_;
};

}  // namespace orvane::settime
