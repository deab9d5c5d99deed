// Setting the clock from a reply that arrived at a known moment, and what follows a setting: the
// hardware clock, and a line in the system log.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "platform/qt/settime/channel.h"

namespace platform::qt::settime {

// Sees whether anyone set the system clock since this object was made (before the connection):
// a reply's arrival, stamped by the old clock, says nothing of the new one.
class ClockWatch {
 public:
  ClockWatch();
  bool clockWasSet() const;

 private:
  Fd timer_;
};

struct Step {
  std::string server;      // the address, for the record
  std::time_t serverTime;  // UTC seconds, as received
  timespec arrival;        // the system clock when the reply arrived
  long maxErrorMicros;     // the reply's whole second and the time it may have travelled
};

// Moves the clock by the server's time less the arrival: a step relative to now, so the time
// this process spent stopped, at any point after the reply came, counts as time that passed.
// Then the kernel is told the clock is synchronised (it writes the hardware clock), and the
// system log records who set it from where. False, with nothing changed, when the clock was set
// by someone else since the connection began or the system refused.
bool StepClock(const Step& step, const ClockWatch& watch);

// The system clock's reading, and a time as nanoseconds and back.
timespec SystemClockNow();
std::int64_t Nanos(timespec when);
timespec FromNanos(std::int64_t nanos);

// The offset that takes a clock reading `arrival` to `serverTime`, as adjtimex takes it: whole
// seconds (maybe negative) and microseconds from 0 to 999999.
timeval OffsetOf(std::time_t serverTime, timespec arrival);

}  // namespace platform::qt::settime
