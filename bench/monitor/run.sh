#!/usr/bin/env bash
# The CPU that zelmonitor costs at the array's real rate, beside zelrecord writing a raw file,
# measured at the same time in the same run: each program runs with an emulated array of its own
# in a private network namespace (both bind the array's port), zelmonitor on a tmux terminal.
# CPU is counted over the steady state, from 2 s after the start, from /proc. Builds nothing.
#   bench/monitor/run.sh [seconds, default 20] [build dir, default build]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)

cpu_seconds() { awk -v tck="$(getconf CLK_TCK)" '{ print ($14 + $15) / tck }' "/proc/$1/stat"; }
now() { date +%s.%N; }

# One program with its emulator, inside its namespace; prints "CPU-seconds-per-second".
measure() {
  local program=$1 seconds=$2 build=$3 work=$4 pid
  "$build/tools/zelsim/zelsim" --signal calib 2>"$work/$program.zelsim.log" &
  local sim=$!
  sleep 0.5
  if [ "$program" = zelmonitor ]; then
    tmux -f /dev/null -S "$work/tmux.sock" new-session -d -x 100 -y 26 \
      "exec $build/tools/zelmonitor/zelmonitor 2>$work/zelmonitor.log"
    pid=$(tmux -S "$work/tmux.sock" display -p '#{pane_pid}')
  else
    "$build/tools/zelrecord/zelrecord" -t raw "$work/take.raw" 2>"$work/zelrecord.log" &
    pid=$!
  fi
  sleep 2
  local c0 t0 c1 t1
  c0=$(cpu_seconds "$pid" 2>/dev/null) t0=$(now)
  sleep "$seconds"
  c1=$(cpu_seconds "$pid" 2>/dev/null) t1=$(now)
  if [ -z "$c0" ] || [ -z "$c1" ]; then
    kill "$sim"
    wait "$sim" 2>/dev/null || true
    echo "failed: $program ended early: $(tail -1 "$work/$program.log" 2>/dev/null)"
    return
  fi
  if [ "$program" = zelmonitor ]; then
    tmux -S "$work/tmux.sock" send-keys q
  else
    kill -INT "$pid"
  fi
  while kill -0 "$pid" 2>/dev/null; do sleep 0.1; done
  kill "$sim"
  wait "$sim" 2>/dev/null || true
  awk -v c="$c1" -v d="$c0" -v t="$t1" -v s="$t0" 'BEGIN { printf "%.4f\n", (c - d) / (t - s) }'
}

if [ "${1:-}" = --measure ]; then
  shift
  measure "$@"
  exit
fi

seconds=${1:-20}
build=$(cd "${2:-$root/build}" && pwd)
for program in zelsim zelmonitor zelrecord; do
  if [ ! -x "$build/tools/$program/$program" ]; then
    echo "run.sh: $build/tools/$program/$program not found; build the project first" >&2
    exit 1
  fi
done
command -v tmux >/dev/null || { echo "run.sh: tmux missing (scripts/setup.sh installs it)" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/zelbench-monitor.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "zelmonitor beside zelrecord -t raw, 44100 Hz, $seconds s each at the same time," \
  "$(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
for program in zelmonitor zelrecord; do
  "$root/tests/netns.sh" bash "$0" --measure "$program" "$seconds" "$build" "$work" \
    >"$work/$program.cpu" &
done
wait
lost() { sed -n 's/.*lost frames \([0-9]*\).*/\1/p' "$work/$1.log" | tail -1; }
monitor=$(cat "$work/zelmonitor.cpu")
record=$(cat "$work/zelrecord.cpu")
printf '%-34s %10s %12s\n' program "CPU (s/s)" "lost frames"
printf '%-34s %10s %12s\n' "zelmonitor (tmux, 100 x 26)" "$monitor" "$(lost zelmonitor)"
printf '%-34s %10s %12s\n' "zelrecord -t raw to a file" "$record" "$(lost zelrecord)"
case "$monitor$record" in
  *failed*) echo "no ratio: a program failed"; status=1 ;;
  *) awk -v m="$monitor" -v r="$record" 'BEGIN { printf "zelmonitor / zelrecord: %.2f\n", m / r }'
     status=0 ;;
esac
echo "load average at the end $(cut -d' ' -f1-3 /proc/loadavg)"
exit $status
