// Clock readings and the setting of the system clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/unique_handle.h"

namespace platform {

// The fields of the Windows SYSTEMTIME record, in UTC when the clock is set from it.
struct SystemTimeRecord {
  std::uint16_t year = 0, month = 0, dayOfWeek = 0, day = 0;
  std::uint16_t hour = 0, minute = 0, second = 0, milliseconds = 0;
  bool operator==(const SystemTimeRecord&) const = default;
};

class Clock : public Interface {
 public:
  // Monotonic time, for waits: the program changes the wall clock while it waits.
  virtual std::chrono::steady_clock::time_point monotonicNow() const;
  // The present local date-time, to the second.
  virtual std::chrono::local_seconds localNow() const = 0;
  // Sets the system clock in UTC; false when the system refused (no right to change it).
  virtual bool setSystemTimeUtc(const SystemTimeRecord& record) = 0;
  // Blocks the thread without handling events.
  virtual void sleep(std::chrono::milliseconds duration);

  // The user's regional short date and long time.
  virtual std::string shortDateText(std::chrono::year_month_day date) const = 0;
  virtual std::string longTimeText(std::chrono::hh_mm_ss<std::chrono::seconds> time) const = 0;

  // The default text of a date-time: short date, a space, long time; the date alone at midnight.
  std::string dateTimeText(std::chrono::local_seconds when) const;
};

}  // namespace platform
