#!/bin/sh
# Slot-time jitter of the library beside a receiver that stamps datagrams the old way (its own
# gettimeofday() after each recv), once on the quiet machine and once under stress-ng --cpu 2.
# Builds nothing: build first, e.g.
#   cmake -S . -B build && cmake --build build --target zelbench_timestamps
# Usage: bench/timestamps/run.sh [build dir, default build] [seconds, default 5]
# Each run goes in a private network namespace when the machine allows it (root). Takes about
# twice the seconds plus a few.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-build}
seconds=${2:-5}
bench=$build/bench/timestamps/zelbench_timestamps
if [ ! -x "$bench" ]; then
  echo "run.sh: $bench not found; build the project first" >&2
  exit 1
fi
if ! command -v stress-ng >/dev/null; then
  echo "run.sh: stress-ng missing (scripts/setup.sh installs it)" >&2
  exit 1
fi

run() { sh "$root/tests/netns.sh" "$bench" "$seconds" "$1"; }

echo "load average before the quiet run $(cut -d' ' -f1-3 /proc/loadavg)"
run quiet
echo
stress-ng --cpu 2 --timeout "$((${seconds%.*} + 30))s" --quiet &
stress=$!
trap 'kill "$stress" 2>/dev/null || true; wait "$stress" 2>/dev/null || true' EXIT
sleep 1  # let the load settle
run "loaded (stress-ng --cpu 2)"
kill "$stress" 2>/dev/null || true
wait "$stress" 2>/dev/null || true
trap - EXIT
