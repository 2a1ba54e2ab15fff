#!/bin/sh
# zelrecord through outages of 2 s and 9 s and a restart of the array's numbering, against the
# emulated array, in a private network namespace when the machine allows it. About 20 s.
# Usage: bench/outage/run.sh [build dir, default build]
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-build}
exec sh "$root/tests/netns.sh" "$build/bench/outage/zelbench_outage" \
  "$build/tools/zelrecord/zelrecord" "${TMPDIR:-/tmp}"
