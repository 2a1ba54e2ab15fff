#!/usr/bin/env bash
# The live acoustic camera in one command, on an emulated array: set up and build, start the
# emulator with a point source moving back and forth in front of the array, run zelcamera on
# loopback and open its page in a browser where there is one, until Ctrl-C.
#   scripts/camera.sh [ZELCAMERA OPTION]...
#   ZEL_BUILD_DIR        build folder (default: build)
#   ZEL_CAMERA_PATH      the source's path for zelsim --source-path
#                        (default -0.15,-0.05,-0.30:0.15,0.05,-0.30:6, metres and seconds)
#   ZEL_DEMO_NO_BUILD    1: use the build folder as it is, without set-up or build
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZEL_BUILD_DIR:-$root/build}
geometry=$root/tests/data/beam-reference/array_64.xml
# shellcheck source=scripts/emulator.sh
. "$root/scripts/emulator.sh"

build_unless_told "$root" "$build"
if [ ! -x "$build/beam/zelcamera/zelcamera" ]; then
  echo "camera.sh: $build/beam/zelcamera/zelcamera was not built" >&2
  exit 1
fi
log=$(mktemp "${TMPDIR:-/tmp}/zelsim.XXXXXX")
start_emulator "$build/tools/zelsim/zelsim" "$log" --geometry "$geometry" \
  --source-path "${ZEL_CAMERA_PATH:--0.15,-0.05,-0.30:0.15,0.05,-0.30:6}"
# The grid in the source's plane, 41 x 41 points.
"$build/beam/zelcamera/zelcamera" --geometry "$geometry" --grid -0.25,0.25,-0.25,0.25,-0.3,0.0125 \
  "$@" &
camera=$!
trap 'kill "$camera" 2>/dev/null || true; wait "$camera" 2>/dev/null || true
      kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; rm -f "$log"' EXIT
sleep 1
if command -v xdg-open >/dev/null && [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  xdg-open http://127.0.0.1:8080/ >/dev/null 2>&1 || true
else
  echo "camera.sh: open http://127.0.0.1:8080/ in a browser; Ctrl-C stops"
fi
status=0
wait "$camera" || status=$?
exit $status
