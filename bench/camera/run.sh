#!/usr/bin/env bash
# The CPU that zelcamera costs at the array's real rate with one page open in a headless browser
# and its default settings, beside zelrecord writing a raw file, measured at the same time in the
# same run: each program runs with an emulated array of its own in a private network namespace
# (both bind the array's port). The browser's own CPU is not counted. CPU is counted over the
# steady state, from 4 s after the start, from /proc. Builds nothing.
#   bench/camera/run.sh [seconds, default 20] [build dir, default build]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
geometry=$root/tests/data/beam-reference/array_64.xml

cpu_seconds() { awk -v tck="$(getconf CLK_TCK)" '{ print ($14 + $15) / tck }' "/proc/$1/stat"; }
now() { date +%s.%N; }

# The emulator plays a point source where it can, noise otherwise.
sim_signal() {
  if "$1/tools/zelsim/zelsim" --help | grep -q -- '--source '; then
    echo "--geometry $geometry --source 0.10,-0.05,-0.30"
  else
    echo "--signal noise"
  fi
}

# One program with its emulator, inside its namespace; prints "CPU-seconds-per-second".
measure() {
  local program=$1 seconds=$2 build=$3 work=$4 pid browser=""
  # shellcheck disable=SC2046
  "$build/tools/zelsim/zelsim" $(sim_signal "$build") 2>"$work/$program.zelsim.log" &
  local sim=$!
  sleep 0.5
  if [ "$program" = zelcamera ]; then
    "$build/beam/zelcamera/zelcamera" --geometry "$geometry" 2>"$work/zelcamera.log" &
    pid=$!
    sleep 1
    chromium --headless=new --no-sandbox --disable-gpu --user-data-dir="$work/profile" \
      http://127.0.0.1:8080/ >/dev/null 2>&1 &
    browser=$!
  else
    "$build/tools/zelrecord/zelrecord" -t raw "$work/take.raw" 2>"$work/zelrecord.log" &
    pid=$!
  fi
  sleep 4
  local c0 t0 c1 t1 clients=""
  c0=$(cpu_seconds "$pid" 2>/dev/null) t0=$(now)
  sleep "$seconds"
  c1=$(cpu_seconds "$pid" 2>/dev/null) t1=$(now)
  if [ "$program" = zelcamera ]; then
    clients=$(curl -s http://127.0.0.1:8080/api/status | sed -n 's/.*"clients":\([0-9]*\).*/\1/p')
    kill "$browser" 2>/dev/null || true
    wait "$browser" 2>/dev/null || true
  fi
  kill -INT "$pid" 2>/dev/null || true
  while kill -0 "$pid" 2>/dev/null; do sleep 0.1; done
  kill "$sim"
  wait "$sim" 2>/dev/null || true
  if [ -z "$c0" ] || [ -z "$c1" ]; then
    echo "failed: $program ended early: $(tail -1 "$work/$program.log" 2>/dev/null)"
    return
  fi
  if [ "$program" = zelcamera ] && [ "$clients" != 1 ]; then
    echo "failed: the page was not connected (clients: ${clients:-none})"
    return
  fi
  awk -v c="$c1" -v d="$c0" -v t="$t1" -v s="$t0" 'BEGIN { printf "%.4f\n", (c - d) / (t - s) }'
}

if [ "${1:-}" = --measure ]; then
  shift
  measure "$@"
  exit
fi

seconds=${1:-20}
build=$(cd "${2:-$root/build}" && pwd)
for program in tools/zelsim/zelsim beam/zelcamera/zelcamera tools/zelrecord/zelrecord; do
  if [ ! -x "$build/$program" ]; then
    echo "run.sh: $build/$program not found; build the project first" >&2
    exit 1
  fi
done
command -v chromium >/dev/null || { echo "run.sh: chromium missing (scripts/setup.sh installs it)" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/zelbench-camera.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "zelcamera (one page open) beside zelrecord -t raw, 44100 Hz, $seconds s each at the same" \
  "time, $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "emulator: $(sim_signal "$build")"
for program in zelcamera zelrecord; do
  "$root/tests/netns.sh" bash "$0" --measure "$program" "$seconds" "$build" "$work" \
    >"$work/$program.cpu" &
done
wait
camera_lost() {
  sed -n 's/.* \([0-9]*\) frames dropped by this host, \([0-9]*\) frames missing.*/\1 + \2/p' \
    "$work/zelcamera.log" | tail -1
}
record_lost() { sed -n 's/.*lost frames \([0-9]*\).*/\1/p' "$work/zelrecord.log" | tail -1; }
camera=$(cat "$work/zelcamera.cpu")
record=$(cat "$work/zelrecord.cpu")
printf '%-40s %10s %16s\n' program "CPU (s/s)" "lost frames"
printf '%-40s %10s %16s\n' "zelcamera, one page, default settings" "$camera" "$(camera_lost)"
printf '%-40s %10s %16s\n' "zelrecord -t raw to a file" "$record" "$(record_lost)"
case "$camera$record" in
  *failed*) echo "no ratio: a program failed"; status=1 ;;
  *) awk -v m="$camera" -v r="$record" 'BEGIN { printf "zelcamera / zelrecord: %.2f\n", m / r }'
     status=0 ;;
esac
echo "load average at the end $(cut -d' ' -f1-3 /proc/loadavg)"
exit $status
