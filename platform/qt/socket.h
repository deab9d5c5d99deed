// The socket control on Linux. The window holds no right to set the clock: each connection is
// made by a clock helper (orvane-settime), which relays its events over a socket pair, raised
// here from Qt's event loop, and which alone may set the clock from the reply it received. The
// peer's orderly close is the close event, a reset or any other failure an error with the
// system's description.
#pragma once

#include <sys/types.h>

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <deque>

#include "platform/qt/system.h"
#include "platform/socket.h"
#include "settime/frames.h"

namespace platform::qt {

// A clock helper process, and the window's end of its channel; killed when its owner goes.
class ClockHelper {
 public:
  ClockHelper() = default;
  ClockHelper(ClockHelper&& other) noexcept;
  ClockHelper& operator=(ClockHelper&& other) noexcept;
  ClockHelper(const ClockHelper&) = delete;
  ClockHelper& operator=(const ClockHelper&) = delete;
  ~ClockHelper();
  // Starts one; none, and the error, where it cannot.
  static ClockHelper Start(int& error);
  int channel() const { return channel_.get(); }
  explicit operator bool() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
  UniqueFd channel_;
};

class QtTcpSocket final : public TcpSocketBase {
 public:
  // name: the control's, the name of its Qt object.
  explicit QtTcpSocket(const std::string& name);
  ~QtTcpSocket() override;
  void connect(const std::string& remoteHost, std::uint16_t remotePort) override;
  void closeWithWindow() override;

  // Asks the helpers of the open connections to set the clock to a time just received from a
  // server; true when the one whose reply that was set it.
  static bool SetClockFromReply(std::int64_t utcSeconds);

 private:
  // Ends the connection. Closing an idle socket gets the next helper ready: the window pauses
  // between closing and connecting, and the helper starts meanwhile.
  void disconnect() override;
  void endConnection();
  // Reads what the helper sent; false when it has gone.
  bool receive(int timeoutMs);
  void readable();
  void dispatch();
  bool askToSet(std::int64_t utcSeconds);
  void fail(int error);

  ClockHelper ready_;      // started, not yet told where to connect
  ClockHelper connected_;  // making this socket's connection
  bool windowClosed_ = false;
  int startError_ = 0;
  std::vector<std::uint8_t> received_;
  std::deque<orvane::settime::Frame> frames_;
  // Parent of the notifier: it may be dropped from inside its own signal, so it goes later.
  QObject notifiers_;
  QSocketNotifier* notifier_ = nullptr;
  QTimer pending_;  // a failure found in connect itself, or frames read meanwhile
  int pendingError_ = 0;
};

// Where the helper lies: beside the program (a build), else where the package installs it.
std::string ClockHelperPath();

// Routes as the kernel has them: a UDP socket connected to the address (nothing is sent), and
// the kernel's own news of changed routes and addresses (netlink) for as long as a handler is set.
class PosixNetwork final : public Network {
 public:
  bool hasRouteTo(const std::string& address) override;
  void setOnChange(std::function<void()> handler) override;

 private:
  void readNews();

  std::function<void()> onChange_;
  UniqueFd news_;
  QObject notifiers_;  // the parent of the notifier, which may go from inside its own signal
  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace platform::qt
