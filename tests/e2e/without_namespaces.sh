#!/usr/bin/env bash
# Where no user namespace can be made (a chroot, a container, a sysctl), what needs the lab is
# skipped at once with 77: never run outside the lab, never started again and again. Tried in a
# user namespace of this test's own that may make no more of them.
# Usage: without_namespaces.sh SOURCE BACKEND_TESTS
set -euo pipefail
unshare --user --map-root-user true 2>/dev/null || exit 77  # none at all: nothing to try
exec unshare --user --map-root-user env -u CI -u IN_LAB bash -c '
  echo 0 > /proc/sys/user/max_user_namespaces
  status=0
  for command in "$0/lab/in_lab true" "$1 --gtest_filter=PosixClock.*" "$0/scripts/wine-exe x.exe"; do
    SECONDS=0 ended=0
    timeout 20 $command >/dev/null 2>&1 || ended=$?
    echo "$command: exit $ended after $SECONDS s"
    if [ "$ended" != 77 ] || [ $SECONDS -gt 5 ]; then status=1; fi
  done
  exit $status' "$1" "$2"
