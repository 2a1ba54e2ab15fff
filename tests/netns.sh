#!/bin/sh
# Runs a test inside a private network namespace when this machine allows it, so that nothing
# else on the machine that uses the array's port can reach the test's sockets (or be reached).
# Elsewhere the test runs as it is, and the ctest resource lock keeps such tests apart.
if [ "$(id -u)" = 0 ] && command -v unshare >/dev/null && command -v ip >/dev/null &&
  unshare -n true 2>/dev/null; then
  exec unshare -n sh -c 'ip link set lo up && exec "$@"' sh "$@"
fi
exec "$@"
