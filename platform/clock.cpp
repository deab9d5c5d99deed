#include "platform/clock.h"

namespace platform {

std::string Clock::dateTimeText(std::chrono::local_seconds when) const {
  const auto day = std::chrono::floor<std::chrono::days>(when);
  const std::chrono::hh_mm_ss<std::chrono::seconds> time{when - day};
  std::string text = shortDateText(std::chrono::year_month_day{day});
  if (time.to_duration() != std::chrono::seconds{0}) text += " " + longTimeText(time);
  return text;
}

}  // namespace platform
