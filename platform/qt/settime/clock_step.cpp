#include "platform/qt/settime/clock_step.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/timerfd.h>
#include <sys/timex.h>
#include <syslog.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/qt/settime/rights.h"

namespace platform::qt::settime {

namespace {

constexpr std::int64_t kNanos = 1000000000;
constexpr long kHalfSecondMicros = 500000;
constexpr std::time_t kTenYears = std::time_t{3653} * 24 * 3600;

// One helper sets the clock at a time: between seeing that no one has set it since the reply
// came and setting it, no other run may. The lock is on the helper's own file.
class StepLock {
 public:
  StepLock() : file_(::open("/proc/self/exe", O_RDONLY | O_CLOEXEC)) {
    for (int tries = 0; file_ && tries < 100; ++tries) {
      if (::flock(file_.get(), LOCK_EX | LOCK_NB) == 0) {
        held_ = true;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  bool held() const { return held_; }

 private:
  Fd file_;
  bool held_ = false;
};

std::string Utc(timespec when) {
  std::tm parts{};
  ::gmtime_r(&when.tv_sec, &parts);
  std::array<char, 64> text{};
  const std::size_t length = std::strftime(text.data(), text.size(), "%Y-%m-%d %H:%M:%S", &parts);
  std::array<char, 32> millis{};
  static_cast<void>(std::snprintf(millis.data(), millis.size(), ".%03d UTC",
                                  static_cast<int>(when.tv_nsec / 1000000 % 1000)));
  return std::string(text.data(), length) + millis.data();
}

std::string User() {
  const uid_t uid = ::getuid();
  passwd entry{};
  passwd* found = nullptr;
  std::array<char, 4096> strings{};
  const bool named =
      ::getpwuid_r(uid, &entry, strings.data(), strings.size(), &found) == 0 && found != nullptr;
  return (named ? std::string(found->pw_name) : "?") + " (uid " + std::to_string(uid) + ")";
}

// 0, or why the system refused.
int AddToClock(timeval offset) {
  timex change{};
  change.modes = ADJ_SETOFFSET;
  change.time = offset;
  const ClockRightRaised right;
  return ::adjtimex(&change) >= 0 ? 0 : errno;
}

// With STA_UNSYNC cleared the kernel writes the system time to the hardware clock, at once and
// then every 11 minutes for as long as maxerror, growing by 0.5 ms a second, stays below 16 s
// (some eight hours); in local time where the system said at boot that the hardware clock keeps
// it so.
void MarkSynchronised(long maxErrorMicros) {
  timex status{};
  if (::adjtimex(&status) < 0) return;
  status.modes = ADJ_STATUS | ADJ_MAXERROR | ADJ_ESTERROR;
  status.status &= ~STA_UNSYNC;
  status.maxerror = maxErrorMicros;
  status.esterror = kHalfSecondMicros;
  const ClockRightRaised right;
  static_cast<void>(::adjtimex(&status));
}

// As su and sudo do: the authorisation log says who used a lent right, and for what.
// A failure's line follows the line it takes back.
void Record(const std::string& server, timespec before, timespec after) {
  ::openlog("orvane", LOG_PID, LOG_AUTHPRIV);
  ::syslog(LOG_NOTICE, "%s set the clock from the time server %s: %s before, %s after",
           User().c_str(), server.c_str(), Utc(before).c_str(), Utc(after).c_str());
}
void RecordFailure(int error) {
  std::array<char, 256> text{};
  ::syslog(LOG_NOTICE, "the clock was not set after all: %s",
           ::strerror_r(error, text.data(), text.size()));
}

}  // namespace

ClockWatch::ClockWatch() : timer_(::timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC)) {
  itimerspec never{};
  never.it_value.tv_sec = SystemClockNow().tv_sec + kTenYears;
  if (timer_ && ::timerfd_settime(timer_.get(), TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &never,
                                  nullptr) != 0)
    timer_.reset();
}

bool ClockWatch::clockWasSet() const {
  std::uint64_t expired = 0;
  // ECANCELED once the clock was set; EAGAIN while it was not.
  return !timer_ || ::read(timer_.get(), &expired, sizeof expired) >= 0 || errno != EAGAIN;
}

timespec SystemClockNow() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return now;
}

std::int64_t Nanos(timespec when) { return std::int64_t{when.tv_sec} * kNanos + when.tv_nsec; }

timespec FromNanos(std::int64_t nanos) {
  std::int64_t seconds = nanos / kNanos, rest = nanos % kNanos;
  if (rest < 0) --seconds, rest += kNanos;
  timespec when{};
  when.tv_sec = static_cast<std::time_t>(seconds);
  when.tv_nsec = static_cast<long>(rest);
  return when;
}

timeval OffsetOf(std::time_t serverTime, timespec arrival) {
  const timespec offset = FromNanos(std::int64_t{serverTime} * kNanos - Nanos(arrival));
  return {offset.tv_sec, static_cast<suseconds_t>(offset.tv_nsec / 1000)};
}

bool StepClock(const Step& step, const ClockWatch& watch) {
  if (!HoldsClockRight()) return false;  // the system would refuse: nothing to record
  const StepLock lock;
  if (!lock.held() || watch.clockWasSet()) return false;
  const timeval offset = OffsetOf(step.serverTime, step.arrival);
  const timespec before = SystemClockNow();
  // Recorded first: a helper stopped or killed between the change and its line would leave a
  // change that no one recorded.
  Record(step.server, before,
         FromNanos(Nanos(before) + std::int64_t{step.serverTime} * kNanos - Nanos(step.arrival)));
  if (const int error = AddToClock(offset)) {
    RecordFailure(error);
    return false;
  }
  MarkSynchronised(step.maxErrorMicros);
  return true;
}

}  // namespace platform::qt::settime
