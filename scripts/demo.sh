#!/usr/bin/env bash
# The whole workflow in one command, on an emulated array: set up and build, start the emulator,
# record, calibrate with zelnormalize, record again normalized to WAV, compare the gains
# recovered with those the emulator was given, and stop the emulator.
#   ZEL_BUILD_DIR      build folder (default: build)
#   ZEL_DEMO_DIR       where the recordings go (default: <build folder>/demo)
#   ZEL_DEMO_SECONDS   length of each recording in seconds (default: 3)
#   ZEL_DEMO_NO_BUILD  1: use the build folder as it is, without set-up or build
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZEL_BUILD_DIR:-$root/build}
out=${ZEL_DEMO_DIR:-$build/demo}
seconds=${ZEL_DEMO_SECONDS:-3}

step() { printf '\n== %s\n' "$*"; }
# shellcheck source=scripts/emulator.sh
. "$root/scripts/emulator.sh"

build_unless_told "$root" "$build"
zelsim=$build/tools/zelsim/zelsim
zelrecord=$build/tools/zelrecord/zelrecord
zelnormalize=$build/tools/zelnormalize/zelnormalize
mkdir -p "$out"

step "Starting the emulated array on 127.0.0.2 with its calibration signal"
start_emulator "$zelsim" "$out/zelsim.log" --signal calib
cat "$out/zelsim.log"

step "Recording $seconds s of raw sample frames"
"$zelrecord" -d "$seconds" "$out/calib.raw"

step "Calibrating: mean and gain of every channel"
"$zelnormalize" "$out/calib.raw" "$out/mean.bin" "$out/gain.bin"

step "Recording $seconds s normalized, to WAV"
"$zelrecord" -d "$seconds" --mean "$out/mean.bin" --gain "$out/gain.bin" "$out/calibrated.wav"
soxi "$out/calibrated.wav"

# The emulator gives channel c the gain 0.5 + c / 63 (zelsim --help), so a calibration over its
# signal must give these gains back.
step "Gains: given to the emulator, and recovered by zelnormalize"
od -A n -v -t f8 -w8 "$out/gain.bin" | awk '
  { c = NR - 1; given[c] = 0.5 + c / 63; got[c] = $1
    d = got[c] - given[c]; if (d < 0) d = -d; if (d > worst) worst = d }
  END {
    printf "  ch   given  recovered |  ch   given  recovered |  ch   given  recovered |  ch   given  recovered\n"
    for (r = 0; r < 16; r++) {
      for (k = 0; k < 4; k++) {
        c = r + 16 * k
        printf "  %2d  %6.4f  %9.4f%s", c, given[c], got[c], k < 3 ? " |" : "\n"
      }
    }
    printf "largest difference: %.6f\n", worst
    if (NR != 64 || worst > 0.01) { print "the gains recovered do not match" > "/dev/stderr"; exit 1 }
  }'

step "Stopping the emulator"
kill -INT "$sim"
wait "$sim" || true
trap - EXIT
tail -n +2 "$out/zelsim.log"
printf '\nRecordings in %s: calib.raw (raw), calibrated.wav (normalized WAV)\n' "$out"
