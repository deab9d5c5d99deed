// Setting the clock from a reply that arrived at a known moment, and what follows a setting: the
// hardware clock, and a line in the system log.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "settime/fd.h"

namespace orvane::settime {

// Sees whether anyone set the system clock since this object was made (before the connection):
// a reply's arrival, stamped by the old clock, says nothing of the new one. Once it has seen a
// setting it says so for the rest of its life: reading the timer that reports a setting also
// re-arms it.
class ClockWatch {
 public:
  ClockWatch();
  // Reads `timer` as the system's timer would be read: a byte to read, or an error other than
  // EAGAIN, is a setting.
  explicit ClockWatch(Fd timer) : timer_(std::move(timer)) {}
  bool clockWasSet();

 private:
  Fd timer_;
  bool seen_ = false;
};

struct Step {
  uid_t caller;            // who started the helper, for the record
  std::string server;      // the address, for the record
  std::time_t serverTime;  // UTC seconds, as received
  timespec arrival;        // the system clock when the reply arrived
  long maxErrorMicros;     // the reply's whole second and the time it may have travelled
};

// Moves the clock by the server's time less the arrival: a step relative to now, so the time
// this process spent stopped, at any point after the reply came, counts as time that passed.
// The system log has the line before the clock moves; where it cannot take it, nothing moves.
// Then the kernel is told the clock is synchronised (it writes the hardware clock). False, with
// nothing changed, when the clock was set by anyone since the connection began, another helper
// held the lock too long, the log took no line or the system refused.
bool StepClock(const Step& step, ClockWatch& watch);

// The system clock's reading, and a time as nanoseconds and back.
timespec SystemClockNow();
std::int64_t Nanos(timespec when);
timespec FromNanos(std::int64_t nanos);

// The offset that takes a clock reading `arrival` to `serverTime`, as adjtimex takes it: whole
// seconds (maybe negative) and microseconds from 0 to 999999.
timeval OffsetOf(std::time_t serverTime, timespec arrival);

}  // namespace orvane::settime
