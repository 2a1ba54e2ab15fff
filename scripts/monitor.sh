#!/usr/bin/env bash
# The live view in one command, on an emulated array: set up and build, start the emulator with
# its calibration signal (every channel its own gain), run zelmonitor until q, stop the emulator.
#   scripts/monitor.sh [ZELMONITOR OPTION]...
#   ZEL_BUILD_DIR        build folder (default: build)
#   ZEL_MONITOR_SIGNAL   the emulator's signal (default: calib; tone, noise, ramp)
#   ZEL_DEMO_NO_BUILD    1: use the build folder as it is, without set-up or build
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZEL_BUILD_DIR:-$root/build}
# shellcheck source=scripts/emulator.sh
. "$root/scripts/emulator.sh"

build_unless_told "$root" "$build"
log=$(mktemp "${TMPDIR:-/tmp}/zelsim.XXXXXX")
start_emulator "$build/tools/zelsim/zelsim" "$log" --signal "${ZEL_MONITOR_SIGNAL:-calib}"
status=0
"$build/tools/zelmonitor/zelmonitor" "$@" || status=$?
rm -f "$log"
exit $status
