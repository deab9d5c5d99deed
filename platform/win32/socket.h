// The socket control on a non-blocking Winsock socket, its events sent through WSAAsyncSelect to
// a hidden message window, so that they are raised on the window's thread from the message loop.
// The peer's orderly close is the close event; a close that carries an error (a reset) is an
// error.
#pragma once

#include "platform/socket.h"
#include "platform/win32/system.h"

namespace platform::win32 {

class Win32TcpSocket final : public TcpSocketBase {
 public:
  // name: the control's, as errors in making it say.
  explicit Win32TcpSocket(const std::string& name);
  ~Win32TcpSocket() override;
  void connect(const std::string& remoteHost, std::uint16_t remotePort) override;

 private:
  struct Received {
    bool got;   // bytes were read and kept
    int error;  // why nothing was read, or 0 when nothing was waiting
  };
  static LRESULT CALLBACK messageProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  void disconnect() override;
  UINT message() const;
  void onSocketEvent(WORD event, WORD error);
  Received receiveChunk();
  void closedByPeer();
  void fail(int error);

  WinsockSession winsock_;
  UniqueWindow messageWindow_;
  UniqueSocket socket_;
  unsigned connection_ = 0;  // which connection this is: it tells events of an old one apart
};

// Routes as Windows has them: a UDP socket connected to the address (nothing is sent). Windows
// tells no change here: the program looks again now and then, and the sign-in task starts it
// only once a network is there.
class Win32Network final : public Network {
 public:
  bool hasRouteTo(const std::string& address) override;
  void setOnChange(std::function<void()> /*handler*/) override {}

 private:
  WinsockSession winsock_;
};

}  // namespace platform::win32
