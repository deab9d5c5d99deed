#include "platform/qt/clock.h"

#include <QDate>
#include <QLocale>
#include <QRegularExpression>
#include <QTime>
#include <ctime>

#include "platform/qt/socket.h"

namespace platform::qt {

using namespace std::chrono;

local_seconds PosixClock::localNow() const {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local_days{year{local.tm_year + 1900} / (local.tm_mon + 1) / local.tm_mday} +
         hours{local.tm_hour} + minutes{local.tm_min} + seconds{local.tm_sec};
}

bool PosixClock::setSystemTimeUtc(const SystemTimeRecord& r) {
  const sys_seconds utc = sys_days{year{r.year} / r.month / r.day} + hours{r.hour} +
                          minutes{r.minute} + seconds{r.second};
  return r.milliseconds == 0 && QtTcpSocket::SetClockFromReply(utc.time_since_epoch().count());
}

namespace {

// A date or time in the user's format, as the amending function changes that format.
template <class Value>
std::string InUserFormat(const Value& value, const QString& format,
                         std::string (*amend)(const std::string&)) {
  const QString amended = QString::fromStdString(amend(format.toStdString()));
  return QLocale::system().toString(value, amended).toStdString();
}

}  // namespace

std::string PosixClock::shortDateText(year_month_day d) const {
  const QDate date(int(d.year()), int(unsigned(d.month())), int(unsigned(d.day())));
  return InUserFormat(date, QLocale::system().dateFormat(QLocale::ShortFormat),
                      ShortDateFormatWithFullYear);
}

std::string PosixClock::longTimeText(hh_mm_ss<seconds> t) const {
  const QTime time(int(t.hours().count()), int(t.minutes().count()), int(t.seconds().count()));
  return InUserFormat(time, QLocale::system().timeFormat(QLocale::LongFormat),
                      LongTimeFormatWithoutZone);
}

namespace {
// Drops zone letters ("t", "tttt") with the spaces or brackets around them, and turns the CLDR
// day-period letter "B" (which Qt prints as it stands) into Qt's AM/PM marker.
QString FixUnquoted(QString chunk) {
  static const QRegularExpression zone(QStringLiteral("\\s*[\\[(]?\\bt+\\b[\\])]?"));
  static const QRegularExpression dayPeriod(QStringLiteral("B+"));
  return chunk.replace(zone, QString()).replace(dayPeriod, QStringLiteral("AP"));
}
}  // namespace

std::string ShortDateFormatWithFullYear(const std::string& format) {
  std::string result;
  bool quoted = false;
  for (std::size_t at = 0; at < format.size();) {
    if (format[at] == '\'') quoted = !quoted;
    std::size_t run = 1;
    while (!quoted && format[at] == 'y' && at + run < format.size() && format[at + run] == 'y')
      ++run;
    result += !quoted && format[at] == 'y' && run == 2 ? "yyyy" : format.substr(at, run);
    at += run;
  }
  return result;
}

std::string LongTimeFormatWithoutZone(const std::string& format) {
  QString result, chunk;
  bool quoted = false;
  for (QChar c : QString::fromStdString(format)) {
    if (c != u'\'') {
      chunk += c;
      continue;
    }
    result += quoted ? chunk : FixUnquoted(chunk);
    result += c;
    chunk.clear();
    quoted = !quoted;
  }
  result += quoted ? chunk : FixUnquoted(chunk);
  return result.trimmed().toStdString();
}

}  // namespace platform::qt
