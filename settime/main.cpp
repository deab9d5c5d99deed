// orvane-settime: the one part of Orvane on Linux that may hold the right to set the clock. The
// package makes it set-user-ID to a system user of its own and lends it cap_sys_time, where the
// administrator allows it. The window starts one ahead of each connection to a time server, with
// a socket pair as its standard input, and tells it where to connect: it makes that one
// connection to one of Orvane's servers, relays what comes to the window, sets the clock once
// from the reply it received itself when the window asks, and ends when the window lets go. It
// links no toolkit and takes nothing of the user's: no environment variable, no file, no
// inherited descriptor, no stop from the terminal.
#include <arpa/inet.h>
#include <fcntl.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "clocksetter/server_table.h"
#include "settime/exchange.h"
#include "settime/rights.h"

namespace {

using namespace orvane::settime;

// The channel and the standard descriptors stay, each open (a closed one would be taken by the
// next file opened); the environment goes (the C library's time zone would read a file it names).
void ForgetWhatWasInherited() {
  ::close_range(3, ~0U, 0);
  for (int fd = 0; fd < 3; ++fd)
    if (::fcntl(fd, F_GETFD) < 0) static_cast<void>(::open("/dev/null", O_RDWR));
  ::clearenv();  // NOLINT(concurrency-mt-unsafe): the process has one thread
}

// A terminal stops its foreground job whoever runs it (Ctrl-Z): not this one.
void IgnoreStopsFromTheTerminal() {
  for (const int stop : {SIGTSTP, SIGTTIN, SIGTTOU})
    static_cast<void>(std::signal(stop, SIG_IGN));  // NOLINT(cert-err33-c)
}

// The servers of the table, on port 37, and nothing else, whether or not it holds the right.
bool MayReach(const sockaddr_in& server) {
  const auto& table = orvane::TimeServers();
  const bool ours =
      ntohs(server.sin_port) == orvane::kTimePort &&
      std::any_of(table.begin(), table.end(), [&](const orvane::ServerEntry& entry) {
        in_addr address{};
        return ::inet_pton(AF_INET, orvane::AddressOf(entry).c_str(), &address) == 1 &&
               address.s_addr == server.sin_addr.s_addr;
      });
  if (!ours)
    static_cast<void>(std::fputs(
        "orvane-settime: refused: it reaches only Orvane's time servers, on port 37\n", stderr));
  return ours;
}

}  // namespace

int main(int argc, char** /*argv*/) {
  uid_t caller = 0;
  if (!KeepOnlyTheClockRight() || !BecomeTheHelpersUser(caller)) return kRightsKept;
  IgnoreStopsFromTheTerminal();
  ForgetWhatWasInherited();
  if (argc != 1) {
    static_cast<void>(std::fputs("usage: orvane-settime (Orvane starts it)\n", stderr));
    return kUsage;
  }
  return Exchange(STDIN_FILENO, MayReach, caller).run();
}
