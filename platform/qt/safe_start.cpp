#include "platform/qt/safe_start.h"

#include <linux/capability.h>
#include <sys/auxv.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform::qt {

void StartSafely() {
  if (::getauxval(AT_SECURE) == 0) return;  // the user's own rights
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3]{};
  const gid_t group = ::getgid();
  const uid_t user = ::getuid();
  // Never go on holding what we meant to let go.
  if (::setresgid(group, group, group) != 0 || ::setresuid(user, user, user) != 0 ||
      ::syscall(SYS_capset, &header, none) != 0 ||
      ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0)
    ::_exit(1);
}

}  // namespace platform::qt
