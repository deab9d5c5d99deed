// orvane-settime: the one part of Orvane on Linux that may hold the right to set the clock (the
// package lends it cap_sys_time). The window starts one ahead of each connection to a time
// server, with a socket pair as its standard input, and tells it where to connect: it makes that
// one connection, relays what comes to the window, sets the clock from the reply it received
// itself when the window asks, and ends when the window lets go. Holding the right, it reaches no
// server but those of Orvane's table, on port 37. It links no toolkit and takes nothing of the
// user's: no environment variable, no file, no inherited descriptor.
#include <arpa/inet.h>
#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "clocksetter/server_table.h"
#include "platform/qt/settime/exchange.h"
#include "platform/qt/settime/rights.h"

namespace {

using namespace platform::qt::settime;

// The channel and the standard descriptors stay, each open (a closed one would be taken by the
// next file opened); the environment goes (the C library's time zone would read a file it names).
void ForgetWhatWasInherited() {
  ::close_range(3, ~0U, 0);
  for (int fd = 0; fd < 3; ++fd)
    if (::fcntl(fd, F_GETFD) < 0) static_cast<void>(::open("/dev/null", O_RDWR));
  ::clearenv();  // NOLINT(concurrency-mt-unsafe): the process has one thread
}

bool IsTableServer(const sockaddr_in& server) {
  const auto& table = orvane::TimeServers();
  return ntohs(server.sin_port) == orvane::kTimePort &&
         std::any_of(table.begin(), table.end(), [&](const orvane::ServerEntry& entry) {
           in_addr address{};
           return ::inet_pton(AF_INET, orvane::AddressOf(entry).c_str(), &address) == 1 &&
                  address.s_addr == server.sin_addr.s_addr;
         });
}

// Holding the right, only the servers of the table, on port 37; without it, whatever the user
// could reach anyway.
bool MayReach(const sockaddr_in& server) {
  if (!HoldsClockRight() || IsTableServer(server)) return true;
  static_cast<void>(
      std::fputs("orvane-settime: refused: holding the right to set the clock, it "
                 "reaches only Orvane's time servers, on port 37\n",
                 stderr));
  return false;
}

}  // namespace

int main(int argc, char** /*argv*/) {
  if (!KeepOnlyTheClockRight()) return kRightsKept;
  ForgetWhatWasInherited();
  if (argc != 1) {
    static_cast<void>(std::fputs("usage: orvane-settime (Orvane starts it)\n", stderr));
    return kUsage;
  }
  return Exchange(STDIN_FILENO, MayReach).run();
}
