#include "platform/win32/socket.h"

#include <ws2tcpip.h>

#include <array>
#include <cstring>

#include "platform/report.h"
#include "platform/win32/safe_start.h"

namespace platform::win32 {

namespace {

constexpr UINT kSocketMessage = WM_APP + 0x100;
constexpr UINT kSocketMessages = 0x100;

int LastSocketError() { return SYSTEM_CALL(L"ws2_32.dll", WSAGetLastError)(); }

}  // namespace

Win32TcpSocket::Win32TcpSocket(const std::string& name) {
  // The system's class of message-only windows, whose procedure is DefWindowProcW.
  messageWindow_.reset(::CreateWindowExW(0, L"Message", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                         Instance(), nullptr));
  if (!messageWindow_) CannotCreate(name);
  ::SetWindowLongPtrW(messageWindow_.get(), GWLP_USERDATA, LONG_PTR(this));
  ::SetWindowLongPtrW(messageWindow_.get(), GWLP_WNDPROC, LONG_PTR(&messageProc));
}

Win32TcpSocket::~Win32TcpSocket() { disconnect(); }

// Each connection has a message number of its own, so that events still queued for one the
// program has closed never reach the next (socket handles are reused).
UINT Win32TcpSocket::message() const { return kSocketMessage + connection_ % kSocketMessages; }

void Win32TcpSocket::disconnect() {
  socket_.reset();
  ++connection_;
}

void Win32TcpSocket::connect(const std::string& remoteHost, std::uint16_t remotePort) {
  close();
  socket_.reset(SYSTEM_CALL(L"ws2_32.dll", socket)(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  SYSTEM_CALL(L"ws2_32.dll", WSAAsyncSelect)
  (socket_.get(), messageWindow_.get(), message(), FD_CONNECT | FD_READ | FD_CLOSE);
  int error = 0;
  if (const auto found = ResolveFirstIpv4(remoteHost)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    std::memcpy(&address.sin_addr, found->data(), 4);
    address.sin_port = USHORT(remotePort >> 8 | (remotePort & 0xFF) << 8);  // network order
    if (SYSTEM_CALL(L"ws2_32.dll", connect)(socket_.get(), reinterpret_cast<sockaddr*>(&address),
                                            sizeof address) == 0)
      return;
    error = LastSocketError();
    if (error == WSAEWOULDBLOCK) return;
  } else {
    error = LastSocketError();
  }
  // A failure found at once is still reported from the message loop, like any other.
  ::PostMessageW(messageWindow_.get(), message(), WPARAM(socket_.get()),
                 WSAMAKESELECTREPLY(FD_CONNECT, error));
}

// One bounded read: Winsock posts FD_READ again while data is left, so a peer that keeps
// sending cannot hold the window's thread.
Win32TcpSocket::Received Win32TcpSocket::receiveChunk() {
  std::array<char, kReadChunk> buffer;
  const int got =
      SYSTEM_CALL(L"ws2_32.dll", recv)(socket_.get(), buffer.data(), int(buffer.size()), 0);
  if (got > 0) {
    keep(reinterpret_cast<const std::uint8_t*>(buffer.data()), std::size_t(got));
    return {true, 0};
  }
  const int error = got < 0 ? LastSocketError() : 0;
  return {false, error == WSAEWOULDBLOCK ? 0 : error};
}

void Win32TcpSocket::fail(int error) {
  disconnect();
  raiseError(error, SystemText(DWORD(error)));
}

// What came before the close is read first: the peer sends no more. Some systems tell a reset
// only here.
void Win32TcpSocket::closedByPeer() {
  bool any = false;
  Received received;
  while ((received = receiveChunk()).got) any = true;
  disconnect();
  const unsigned connection = connection_;
  if (any) raiseDataArrival();
  if (connection_ != connection) return;  // the program has moved on in the handler
  if (received.error != 0) return raiseError(received.error, SystemText(DWORD(received.error)));
  raiseClose();
}

void Win32TcpSocket::onSocketEvent(WORD event, WORD error) {
  // A reset, or any other failure, is an error; only an orderly close is the close event.
  if (error != 0) return fail(error);
  if (event == FD_CLOSE) return closedByPeer();
  if (event != FD_READ) return;
  const Received received = receiveChunk();
  if (received.got) return raiseDataArrival();
  if (received.error != 0) fail(received.error);
}

LRESULT CALLBACK Win32TcpSocket::messageProc(HWND hwnd, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
  auto* self = reinterpret_cast<Win32TcpSocket*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (self == nullptr || message != self->message() || SOCKET(wParam) != self->socket_.get())
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
  Guarded([&] { self->onSocketEvent(WSAGETSELECTEVENT(lParam), WSAGETSELECTERROR(lParam)); });
  return 0;
}

bool Win32Network::hasRouteTo(const std::string& address) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = USHORT(37 << 8);  // network order
  if (SYSTEM_CALL(L"ws2_32.dll", inet_pton)(AF_INET, address.c_str(), &to.sin_addr) != 1)
    return false;
  const UniqueSocket probe(SYSTEM_CALL(L"ws2_32.dll", socket)(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  return probe && SYSTEM_CALL(L"ws2_32.dll", connect)(
                      probe.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
}

}  // namespace platform::win32
