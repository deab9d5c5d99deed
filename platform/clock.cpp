#include "platform/clock.h"

#include <thread>

namespace platform {

std::chrono::steady_clock::time_point Clock::monotonicNow() const {
  return std::chrono::steady_clock::now();
}

void Clock::sleep(std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }

std::string Clock::dateTimeText(std::chrono::local_seconds when) const {
  const auto day = std::chrono::floor<std::chrono::days>(when);
  const std::chrono::hh_mm_ss<std::chrono::seconds> time{when - day};
  std::string text = shortDateText(std::chrono::year_month_day{day});
  if (time.to_duration() != std::chrono::seconds{0}) text += " " + longTimeText(time);
  return text;
}

}  // namespace platform
