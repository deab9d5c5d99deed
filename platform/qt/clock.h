// The clock on POSIX, with the user's regional date and time texts from Qt's system locale.
#pragma once

#include "platform/clock.h"

namespace platform::qt {

class PosixClock : public Clock {
 public:
  std::chrono::local_seconds localNow() const override;
  // The window holds no right: the clock helper whose connection received this time sets the
  // clock from that reply. False when none did, or the system refused (without the right).
  bool setSystemTimeUtc(const SystemTimeRecord& record) override;
  std::string shortDateText(std::chrono::year_month_day date) const override;
  std::string longTimeText(std::chrono::hh_mm_ss<std::chrono::seconds> time) const override;
};

// The locale's short date format with four-digit years where it has two: the era of the Time
// protocol's count spans 1968 to 2104, and "26.02.04" could be either century.
std::string ShortDateFormatWithFullYear(const std::string& format);

// The locale's long time format without its time-zone part: a displayed time has no zone.
std::string LongTimeFormatWithoutZone(const std::string& format);

}  // namespace platform::qt
