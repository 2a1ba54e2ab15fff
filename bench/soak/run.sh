#!/usr/bin/env bash
# The soak, by hand or as CI's short variant: a capture at the real rate with every core kept
# busy by stress-ng, next to a baseline run of the same length on the quiet machine, figures side
# by side. Exits non-zero when either run lost, dropped or misplaced anything.
#   bench/soak/run.sh [seconds] [build dir]      default: 60 s, build/
#   ZEL_SOAK_BASELINE=0 bench/soak/run.sh ...    loaded run only
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
seconds=${1:-60}
build=${2:-$root/build}
soak=$build/bench/soak/zelsoak
if [ ! -x "$soak" ]; then
  echo "run.sh: $soak missing; build it with: cmake --build $build --target zelsoak" >&2
  exit 2
fi
if ! command -v stress-ng >/dev/null; then
  echo "run.sh: stress-ng missing (scripts/setup.sh installs it)" >&2
  exit 2
fi

# Each run binds the array's port, so it gets a network namespace of its own where possible.
soak_run() { "$root/tests/netns.sh" "$soak" "$seconds"; }
figures() { sed -n 's/^figures: //p' <<<"$1"; }

status=0
quiet=""
if [ "${ZEL_SOAK_BASELINE:-1}" != 0 ]; then
  echo "== baseline: quiet machine, $seconds s"
  quiet=$(soak_run) || status=1
  echo "$quiet"
fi

cpus=$(nproc)
echo "== loaded: stress-ng --cpu $cpus, $seconds s"
stress-ng --cpu "$cpus" --timeout $((${seconds%.*} + 60))s --quiet &
stress=$!
trap 'kill "$stress" 2>/dev/null || true; wait "$stress" 2>/dev/null || true' EXIT
sleep 1  # let the load settle
loaded=$(soak_run) || status=1
kill "$stress" 2>/dev/null || true
wait "$stress" 2>/dev/null || true
trap - EXIT
echo "$loaded"

if [ -n "$quiet" ]; then
  echo "== side by side"
  paste <(figures "$quiet" | tr ' ' '\n') <(figures "$loaded" | tr ' ' '\n') |
    awk -F'\t' '{ split($1, q, "="); split($2, l, "=");
                  ratio = (q[2] + 0 > 0) ? sprintf("%.2f", l[2] / q[2]) : "-";
                  printf "  %-14s %14s %14s   loaded/quiet %s\n", q[1], q[2], l[2], ratio }'
fi
exit $status
