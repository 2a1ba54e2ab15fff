#!/bin/sh
# Runs the capture benchmarks and prints one table: each library figure beside its baseline,
# measured in the same run on the same machine. Builds nothing: build first, e.g.
#   cmake -S . -B build && cmake --build build
# Usage: bench/capture/run.sh [build dir, default build]
# Each benchmark runs in a private network namespace when the machine allows it (root), so that
# nothing else using the array's port interferes. Per-trial details go to the log named at the end.
# Takes about three minutes.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-build}
bin=$build/bench/capture
for name in zelbench_rate zelbench_cpu zelbench_wakeup zelbench_memory; do
  if [ ! -x "$bin/$name" ]; then
    echo "run.sh: $bin/$name not found; build the project first" >&2
    exit 1
  fi
done
log=$(mktemp "${TMPDIR:-/tmp}/zelbench.XXXXXX")

run() {
  echo "== $*" >>"$log"
  sh "$root/tests/netns.sh" "$@" 2>>"$log"
}

echo "capture benchmarks, $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-40s %10s %10s %9s  %-26s %s\n' figure library baseline lib/base aim met
run "$bin/zelbench_rate" 3
run "$bin/zelbench_cpu" 5
run "$bin/zelbench_wakeup" 3000
run "$bin/zelbench_memory" 3
echo "baselines: rate = bare recvmmsg receiver; CPU = bare poll+recv receiver;"
echo "  wake-up = bare poll+recv thread handing off through a mutex and condition variable"
echo "load average at the end $(cut -d' ' -f1-3 /proc/loadavg); details in $log"
