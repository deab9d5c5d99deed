#include "settime/rights.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <sstream>
#include <string>

#include "settime/fd.h"

namespace orvane::settime {

namespace {

using Sets = std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3>;
constexpr std::uint32_t kClockBit = 1U << CAP_SYS_TIME;  // in the first of the two words

Sets Current() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  Sets sets{};
  if (::syscall(SYS_capget, &header, sets.data()) != 0) sets = {};
  return sets;
}

bool Apply(Sets sets) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  return ::syscall(SYS_capset, &header, sets.data()) == 0;
}

// The clock's right alone, where it is held at all: permitted, and effective when asked.
Sets ClockRightOnly(bool effective) {
  Sets sets{};
  sets[0].permitted = Current()[0].permitted & kClockBit;
  sets[0].effective = effective ? sets[0].permitted : 0;
  return sets;
}

// The system's own user namespace maps every user id to itself, in one line.
bool InInitialUserNamespace() {
  const Fd map(::open("/proc/self/uid_map", O_RDONLY | O_CLOEXEC));
  if (!map) return true;  // cannot tell: take the right as real
  std::array<char, 256> text{};
  const ssize_t got = ::read(map.get(), text.data(), text.size());
  std::istringstream lines(std::string(text.data(), got > 0 ? std::size_t(got) : 0));
  unsigned long inside = 1, outside = 1, count = 0;
  std::string more;
  lines >> inside >> outside >> count;
  return inside == 0 && outside == 0 && count == 4294967295UL && !(lines >> more);
}

}  // namespace

bool KeepOnlyTheClockRight() {
  return Apply(ClockRightOnly(false)) &&
         ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
}

bool BecomeTheHelpersUser(uid_t& caller) {
  caller = ::getuid();
  const uid_t helper = ::geteuid();
  const gid_t group = ::getegid();
  // Root starting it would lose the right on leaving user 0 for good, unless told to keep it.
  return ::prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) == 0 && ::setresgid(group, group, group) == 0 &&
         ::setresuid(helper, helper, helper) == 0 && ::prctl(PR_SET_KEEPCAPS, 0, 0, 0, 0) == 0;
}

bool HoldsClockRight() {
  return (Current()[0].permitted & kClockBit) != 0 && InInitialUserNamespace();
}

bool DropTheClockRight() { return Apply(Sets{}) && (Current()[0].permitted & kClockBit) == 0; }

ClockRightRaised::ClockRightRaised() { static_cast<void>(Apply(ClockRightOnly(true))); }

ClockRightRaised::~ClockRightRaised() { static_cast<void>(Apply(ClockRightOnly(false))); }

}  // namespace orvane::settime
