#include "platform/qt/safe_start.h"

#include <linux/capability.h>
#include <netinet/in.h>
#include <sys/auxv.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/environment.h"

extern char** environ;

namespace platform::qt {

namespace {

// The capability sets of this process, in the kernel's 64-bit form.
struct CapabilitySets {
  __user_cap_data_struct words[_LINUX_CAPABILITY_U32S_3]{};

  static CapabilitySets ofThisProcess() {
    CapabilitySets sets;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    static_cast<void>(::syscall(SYS_capget, &header, sets.words));
    return sets;
  }
  bool apply() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return ::syscall(SYS_capset, &header, words) == 0;
  }
  static std::uint32_t Bit(int capability) { return 1U << (unsigned(capability) % 32); }
  __user_cap_data_struct& wordOf(int capability) { return words[unsigned(capability) / 32]; }
  bool permitted(int capability) { return (wordOf(capability).permitted & Bit(capability)) != 0; }
  bool effective(int capability) { return (wordOf(capability).effective & Bit(capability)) != 0; }
  void setEffective(int capability, bool on) {
    auto& word = wordOf(capability);
    word.effective = on ? word.effective | Bit(capability) : word.effective & ~Bit(capability);
  }
  // Keeps these in the permitted set, none effective or inherited.
  void keepOnly(const std::vector<int>& needed) {
    for (auto& word : words) word = {0, 0, 0};
    const CapabilitySets held = ofThisProcess();
    for (const int capability : needed) {
      const auto& had = held.words[unsigned(capability) / 32];
      wordOf(capability).permitted |= had.permitted & Bit(capability);
    }
  }
};

void KeepSafeEnvironment() {
  std::vector<std::string> kept;
  for (char** entry = environ; *entry != nullptr; ++entry)
    if (KeptWhenPrivileged(*entry)) kept.emplace_back(*entry);
  // The first thing the process does, before any thread exists.
  ::clearenv();  // NOLINT(concurrency-mt-unsafe)
  for (const auto& entry : kept) {
    const auto equals = entry.find('=');
    const std::string name = entry.substr(0, equals), value = entry.substr(equals + 1);
    ::setenv(name.c_str(), value.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
  }
}

// Where the system lets this user's group open ICMP datagram sockets (ping_group_range), echoes
// need no raw socket and so no right of their own.
bool EchoNeedsRawSocket() {
  const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (probe < 0) return true;
  ::close(probe);
  return false;
}

}  // namespace

void StartSafely() {
  if (::getauxval(AT_SECURE) == 0) return;  // the user's own rights: nothing to lend
  KeepSafeEnvironment();
  std::vector<int> needed = {CAP_SYS_TIME};
  if (EchoNeedsRawSocket()) needed.push_back(CAP_NET_RAW);
  CapabilitySets sets;
  sets.keepOnly(needed);
  if (!sets.apply()) ::_exit(1);  // never go on holding more than we meant to
  static_cast<void>(::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0));
}

RaisedCapability::RaisedCapability(int capability) : capability_(capability) {
  CapabilitySets sets = CapabilitySets::ofThisProcess();
  if (sets.effective(capability) || !sets.permitted(capability)) return;
  sets.setEffective(capability, true);
  raised_ = sets.apply();
}

RaisedCapability::~RaisedCapability() {
  if (!raised_) return;
  CapabilitySets sets = CapabilitySets::ofThisProcess();
  sets.setEffective(capability_, false);
  static_cast<void>(sets.apply());
}

}  // namespace platform::qt
