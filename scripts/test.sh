#!/usr/bin/env bash
# Sets up a fresh machine, builds everything and runs the test suite.
#   ZEL_BUILD_DIR   build folder (default: build)
#   ZEL_SANITIZE    address (AddressSanitizer + UBSan) or thread (ThreadSanitizer)
#   ZEL_CTEST_ARGS  extra ctest arguments, e.g. "-L threaded"
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
build=${ZEL_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -DZEL_SANITIZE="${ZEL_SANITIZE:-}" -DZEL_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
# What third-party libraries leak is not ours to report.
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
# shellcheck disable=SC2086
ctest --test-dir "$build" -j2 --output-on-failure ${ZEL_CTEST_ARGS:-}
