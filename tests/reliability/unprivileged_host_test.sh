#!/usr/bin/env bash
# unprivileged_host_test.sh ZELSIM ZELRECORD LIBZEL [SECONDS]
# A stock host and an ordinary user: net.core.rmem_max at Debian's 212992, every core kept busy
# by stress-ng (eight busy processes a core), the emulated array at real-time priority as a real
# one never waits. Allowed real-time priority (CAP_SYS_NICE), zelrecord keeps up; without it the
# start line says so and warns, and whatever is lost is blamed on this host, not on the
# network (with real-time priority it loses nothing on a quiet host; the test allows a little,
# and much less than normal priority loses, for a machine shared with other real-time work).
# The limit is global: it is restored however the test ends. Exit 77 (skipped) where
# the machine does not let the test set itself up.
set -uo pipefail
zelsim=$1
zelrecord=$2
libzel=$3
seconds=${4:-10}

skip() {
  echo "SKIP: $*"
  exit 77
}
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

[ "$(id -u)" = 0 ] || skip "needs root to set net.core.rmem_max and drop to an ordinary user"
for tool in setpriv unshare stress-ng chrt sysctl ip; do
  command -v "$tool" >/dev/null || skip "$tool is missing"
done
unshare -n true 2>/dev/null || skip "no network namespace can be made here"
saved=$(sysctl -n net.core.rmem_max) || skip "net.core.rmem_max cannot be read"

work=$(mktemp -d)
chmod 755 "$work"
restore() {
  sysctl -q -w net.core.rmem_max="$saved" ||
    echo "WARNING: could not restore net.core.rmem_max to $saved" >&2
  rm -rf "$work"
}
trap restore EXIT
sysctl -q -w net.core.rmem_max=212992 || skip "net.core.rmem_max cannot be set here"

# The ordinary user may not be able to reach the build tree: the programs go where it can.
cp "$zelsim" "$zelrecord" "$libzel" "$work/"
chmod 755 "$work"/*

# Inside a private network namespace: the array, the load, and the two recordings.
inner() {
  ip link set lo up
  chrt -f 50 "$work/zelsim" 2>/dev/null &
  local sim=$!
  stress-ng --cpu $((8 * $(nproc))) --timeout $((2 * seconds + 20)) >/dev/null 2>&1 &
  local stress=$!
  sleep 1
  local as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
  local rt=(--inh-caps +sys_nice --ambient-caps +sys_nice)
  LD_LIBRARY_PATH=$work "${as_user[@]}" "${rt[@]}" "$work/zelrecord" -d "$seconds" - \
    2>"$work/realtime.log" >/dev/null
  LD_LIBRARY_PATH=$work "${as_user[@]}" "$work/zelrecord" -d "$seconds" - \
    2>"$work/normal.log" >/dev/null
  kill "$stress" "$sim" 2>/dev/null
  wait
}
export -f inner
export work seconds
unshare -n bash -c inner

show() { tr '\r' '\n' <"$1" | grep -E '^zelrecord: (recording|lost|warning: [0-9])'; }
echo "== allowed real-time priority"
show "$work/realtime.log"
echo "== normal priority"
show "$work/normal.log"

grep -q ', real-time capture$' "$work/realtime.log" ||
  fail "the capture with CAP_SYS_NICE did not run real-time"
lost_of() { sed -n 's/^zelrecord: lost frames \([0-9]*\) .*/\1/p' "$1"; }
realtime_lost=$(lost_of "$work/realtime.log")
normal_lost=$(lost_of "$work/normal.log")
if [ -z "$realtime_lost" ] || [ -z "$normal_lost" ]; then fail "no summary of lost frames"; fi
# On a quiet host the real-time capture loses nothing; a machine shared with other real-time
# work may delay it now and then, never by anything like what normal priority loses.
if [ "$realtime_lost" -gt $((seconds * 44100 / 200)) ] ||
  [ $((realtime_lost * 10)) -gt "$normal_lost" ]; then
  fail "the real-time capture lost $realtime_lost frames (normal priority: $normal_lost)"
fi
grep -q ', capture at normal priority$' "$work/normal.log" ||
  fail "the start line does not say the capture runs at normal priority"
grep -q "^zelrecord: warning: the socket buffer holds only .*'sysctl -w net.core.rmem_max=8388608'" \
  "$work/normal.log" || fail "no warning of the small socket buffer at start"
summary=$(grep '^zelrecord: lost frames' "$work/normal.log")
[[ $summary =~ lost\ frames\ ([0-9]+)\ \(host\ ([0-9]+),\ network\ 0\) ]] ||
  fail "frames lost at normal priority are not all this host's: $summary"
[ "${BASH_REMATCH[1]}" = "${BASH_REMATCH[2]}" ] || fail "$summary"
echo "unprivileged host: ok"
