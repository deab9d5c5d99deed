#!/usr/bin/env bash
# Where no user namespace can be made (a chroot, a container, a sysctl), what needs the lab is
# skipped at once with 77: never run outside the lab, never started again and again. Tried in a
# user namespace of this test's own that may make no more of them.
# Usage: without_namespaces.sh SOURCE BACKEND_TESTS
set -euo pipefail
source=$1 backend=$2
if ! unshare --user --map-root-user true 2>/dev/null; then
  echo "without_namespaces: this machine makes no user namespace at all: skipped" >&2
  exit 77
fi
exec unshare --user --map-root-user env -u CI -u IN_LAB bash -c '
  echo 0 > /proc/sys/user/max_user_namespaces
  status=0
  for command in "$0/lab/in_lab true" "$1 --gtest_filter=PosixClock.*" \
                 "$0/scripts/wine-exe never-run.exe"; do
    started=$SECONDS
    ended=0
    timeout 20 $command >/dev/null 2>&1 || ended=$?
    echo "$command: exit $ended after $((SECONDS - started)) s"
    if [ "$ended" != 77 ] || [ $((SECONDS - started)) -gt 5 ]; then status=1; fi
  done
  exit $status' "$source" "$backend"
