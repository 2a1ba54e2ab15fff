#!/bin/sh
# Builds the beamforming benchmark in Release (its own build folder) and prints its figures: the
# library beside a straightforward beamformer measured in the same run.
# Usage: bench/beam/run.sh [build dir, default build-release] [bench_beam options]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build-release}
[ $# -gt 0 ] && shift
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DZEL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target bench_beam >/dev/null
echo "beamforming benchmark, $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/bench/beam/bench_beam" "$@"
echo "load average at the end $(cut -d' ' -f1-3 /proc/loadavg)"
