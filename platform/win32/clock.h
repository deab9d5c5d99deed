// The clock on Win32, with the user's regional date and time texts.
#pragma once

#include "platform/clock.h"
#include "platform/win32/system.h"

namespace platform::win32 {

class Win32Clock : public Clock {
 public:
  std::chrono::local_seconds localNow() const override;
  bool setSystemTimeUtc(const SystemTimeRecord& record) override;  // SetSystemTime
  std::string shortDateText(std::chrono::year_month_day date) const override;
  std::string longTimeText(std::chrono::hh_mm_ss<std::chrono::seconds> time) const override;
};

}  // namespace platform::win32
