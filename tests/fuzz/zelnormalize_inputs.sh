#!/usr/bin/env bash
# Hostile input for the calibration tool, a command-line program (awkward under libFuzzer): a
# generated set of input files and command lines, each run once through the given binary, which
# CI builds with AddressSanitizer+UBSan. Every run must end with status 0 (both files written
# whole) or 1 with an "ERROR: " line, and no sanitizer report.
#   tests/fuzz/zelnormalize_inputs.sh path/to/zelnormalize
set -uo pipefail
tool=${1:-}
if [ -z "$tool" ] || [ ! -x "$tool" ]; then
  echo "zelnormalize_inputs.sh: no zelnormalize binary at '$tool'; skipped" >&2
  exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failures=0
runs=0

# run NAME ARGS...: one run, judged as above.
run() {
  local name=$1
  shift
  runs=$((runs + 1))
  rm -f "$work/mean" "$work/gain"
  timeout 30 "$tool" "$@" >"$work/out" 2>"$work/err"
  local status=$?
  local why=""
  if grep -qE "AddressSanitizer|LeakSanitizer|runtime error|UndefinedBehaviorSanitizer" "$work/err"; then
    why="sanitizer report"
  elif [ $status -eq 0 ]; then
    [ "$(stat -c %s "$work/mean" 2>/dev/null)" = 256 ] || why="mean file not 256 bytes"
    [ "$(stat -c %s "$work/gain" 2>/dev/null)" = 512 ] || why="gain file not 512 bytes"
    grep -qx "Exiting with success" "$work/out" || why="no success line"
  elif [ $status -eq 1 ]; then
    grep -q "^ERROR: " "$work/err" || why="status 1 without an ERROR line"
  elif [ $status -eq 124 ]; then
    why="still running after 30 s"
  else
    why="exit status $status"
  fi
  if [ -n "$why" ]; then
    failures=$((failures + 1))
    echo "FAIL $name: $why"
    sed 's/^/    /' "$work/err" | head -20
  fi
}

# frames NAME COUNT BYTE-SOURCE: an input of COUNT sample frames.
frames() { head -c $(($2 * 192)) "$3" >"$work/$1"; }
pattern() { # repeats the hex bytes given to fill COUNT frames, doubling the file each step
  local name=$1 count=$2 hex=$3
  printf '%s' "$hex" | xxd -r -p >"$work/$name"
  local size=$((count * 192))
  while [ "$(stat -c %s "$work/$name")" -lt $size ]; do
    cat "$work/$name" "$work/$name" >"$work/grow"
    mv "$work/grow" "$work/$name"
  done
  truncate -s $size "$work/$name"
}

run no-arguments
run two-arguments "$work/in" "$work/mean"
run four-arguments "$work/in" "$work/mean" "$work/gain" extra
run missing-input "$work/absent" "$work/mean" "$work/gain"
run directory-input "$work" "$work/mean" "$work/gain"
: >"$work/empty"
run empty-input "$work/empty" "$work/mean" "$work/gain"
run dev-null-input /dev/null "$work/mean" "$work/gain"
for size in 1 3 191 193 383 38401; do
  head -c $size /dev/urandom >"$work/odd"
  run "size-$size" "$work/odd" "$work/mean" "$work/gain"
done
frames one 1 /dev/urandom
run one-frame "$work/one" "$work/mean" "$work/gain"
for count in 2 199 200 201 400 1001; do
  frames noise $count /dev/urandom
  run "noise-$count-frames" "$work/noise" "$work/mean" "$work/gain"
done
pattern zeros 300 000000
run all-zero "$work/zeros" "$work/mean" "$work/gain"
pattern max 300 7fffff
run all-max "$work/max" "$work/mean" "$work/gain"
pattern min 300 800000
run all-min "$work/min" "$work/mean" "$work/gain"
pattern swing 300 7fffff800000
run max-min-swing "$work/swing" "$work/mean" "$work/gain"
frames noise 10 /dev/urandom
run mean-file-is-a-directory "$work/noise" "$work" "$work/gain"
run gain-file-in-missing-folder "$work/noise" "$work/mean" "$work/absent/gain"
run same-file-for-all "$work/noise" "$work/noise" "$work/noise"
echo "zelnormalize_inputs.sh: $runs runs, $failures failed"
[ $failures -eq 0 ]
