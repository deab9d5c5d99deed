#include "platform/win32/clock.h"

namespace platform::win32 {

using namespace std::chrono;

namespace {

SYSTEMTIME ToSystemTime(year_month_day date, hh_mm_ss<seconds> time) {
  SYSTEMTIME st{};
  st.wYear = WORD(int(date.year()));
  st.wMonth = WORD(unsigned(date.month()));
  st.wDay = WORD(unsigned(date.day()));
  st.wDayOfWeek = WORD(weekday{sys_days{date}}.c_encoding());
  st.wHour = WORD(time.hours().count());
  st.wMinute = WORD(time.minutes().count());
  st.wSecond = WORD(time.seconds().count());
  return st;
}

}  // namespace

local_seconds Win32Clock::localNow() const {
  SYSTEMTIME st;
  ::GetLocalTime(&st);
  return local_days{year{st.wYear} / st.wMonth / st.wDay} + hours{st.wHour} + minutes{st.wMinute} +
         seconds{st.wSecond};
}

bool Win32Clock::setSystemTimeUtc(const SystemTimeRecord& r) {
  SYSTEMTIME st{r.year, r.month, r.dayOfWeek, r.day, r.hour, r.minute, r.second, r.milliseconds};
  return ::SetSystemTime(&st) != FALSE;
}

std::string Win32Clock::shortDateText(year_month_day date) const {
  const SYSTEMTIME st = ToSystemTime(date, hh_mm_ss<seconds>{});
  wchar_t text[128];
  const int length =
      ::GetDateFormatEx(LOCALE_NAME_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, text, 128, nullptr);
  return Utf8(text, length - 1);
}

std::string Win32Clock::longTimeText(hh_mm_ss<seconds> time) const {
  const SYSTEMTIME st = ToSystemTime(year{2000} / 1 / 1, time);
  wchar_t text[128];
  const int length = ::GetTimeFormatEx(LOCALE_NAME_USER_DEFAULT, 0, &st, nullptr, text, 128);
  return Utf8(text, length - 1);
}

}  // namespace platform::win32
