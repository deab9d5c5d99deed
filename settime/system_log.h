// The helper's own connection to the system log, made and checked before the clock is touched:
// glibc's syslog() drops a line silently where it cannot open its socket (too many open files,
// no listener), and a change no one recorded is what the record is for.
#pragma once

#include <string>

#include "settime/fd.h"

namespace orvane::settime {

class SystemLog {
 public:
  // Connects to the system's logger at this socket; a failure shows in record().
  explicit SystemLog(const char* path = "/dev/log");
  // One line, facility authpriv, ident "orvane" and this process's id, as su and sudo write
  // theirs; true only once the logger has taken all of it.
  bool record(const std::string& message);

 private:
  Fd socket_;
  bool stream_ = false;  // a logger on a stream socket reads lines ended by a NUL
};

}  // namespace orvane::settime
