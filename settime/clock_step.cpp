#include "settime/clock_step.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/timerfd.h>
#include <sys/timex.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "settime/rights.h"
#include "settime/system_log.h"

namespace orvane::settime {

namespace {

constexpr std::int64_t kNanos = 1000000000;
constexpr long kHalfSecondMicros = 500000;
constexpr std::time_t kTenYears = std::time_t{3653} * 24 * 3600;
// More than the clocks' two readings around a step can differ by without anyone else's setting.
constexpr std::int64_t kStepSlack = kNanos / 10;

// One helper sets the clock at a time: between seeing that no one has set it since the reply
// came and setting it, no other run may. The lock is on the helper's own file, which the package
// makes readable by the helper's user alone, so no other user can take it.
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

std::string User(uid_t uid) {
  passwd entry{};
  passwd* found = nullptr;
  std::array<char, 4096> strings{};
  const bool named =
      ::getpwuid_r(uid, &entry, strings.data(), strings.size(), &found) == 0 && found != nullptr;
  return (named ? std::string(found->pw_name) : "?") + " (uid " + std::to_string(uid) + ")";
}

std::string Described(int error) {
  std::array<char, 256> text{};
  return ::strerror_r(error, text.data(), text.size());
}

// How far the system clock stands from the boot clock: only a setting of the clock moves it by
// more than the kernel's slow slewing.
std::int64_t SystemLessBootClock() {
  timespec boot{};
  const timespec system = SystemClockNow();
  ::clock_gettime(CLOCK_BOOTTIME, &boot);
  return Nanos(system) - Nanos(boot);
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

}  // namespace

ClockWatch::ClockWatch() : timer_(::timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC)) {
  itimerspec never{};
  never.it_value.tv_sec = SystemClockNow().tv_sec + kTenYears;
  if (timer_ && ::timerfd_settime(timer_.get(), TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &never,
                                  nullptr) != 0)
    timer_.reset();
}

bool ClockWatch::clockWasSet() {
  std::uint64_t expired = 0;
  // ECANCELED once the clock was set; EAGAIN while it was not. No timer: it cannot tell.
  if (!seen_)
    seen_ = !timer_ || ::read(timer_.get(), &expired, sizeof expired) >= 0 || errno != EAGAIN;
  return seen_;
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

bool StepClock(const Step& step, ClockWatch& watch) {
  if (!HoldsClockRight()) return false;  // the system would refuse: nothing to record
  const StepLock lock;
  // Read before the watch: any setting by someone else after this shows in one or the other.
  const std::int64_t apart = SystemLessBootClock();
  if (!lock.held() || watch.clockWasSet()) return false;
  const timeval offset = OffsetOf(step.serverTime, step.arrival);
  const std::int64_t offsetNanos = std::int64_t{offset.tv_sec} * kNanos + offset.tv_usec * 1000;
  SystemLog log;
  const timespec before = SystemClockNow();
  // Recorded first: a helper killed between the change and its line would leave a change that
  // no one recorded.
  if (!log.record(User(step.caller) + " set the clock from the time server " + step.server + ": " +
                  Utc(before) + " before, " + Utc(FromNanos(Nanos(before) + offsetNanos)) +
                  " after"))
    return false;
  if (const int error = AddToClock(offset)) {
    static_cast<void>(log.record("the clock was not set after all: " + Described(error)));
    return false;
  }
  // Nothing in the kernel sets the clock only if no one else did meanwhile: a setting by root or
  // a time daemon between the watch's last look and the step is not one this helper can keep
  // out, so the record says where one came.
  if (std::llabs(SystemLessBootClock() - apart - offsetNanos) > kStepSlack)
    static_cast<void>(log.record("the clock was also set by someone else during this correction"));
  MarkSynchronised(step.maxErrorMicros);
  return true;
}

}  // namespace orvane::settime
