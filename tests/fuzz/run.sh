#!/usr/bin/env bash
# The libFuzzer harnesses, built with clang apart from the project's g++ build: the library's
# sources and each harness in one binary under AddressSanitizer+UBSan.
#   tests/fuzz/run.sh replay            build, then run every saved input once (what CI does)
#   tests/fuzz/run.sh fuzz [seconds]    build, then fuzz each harness (default 60 s); new inputs
#                                       go to build-fuzz/found/<harness>, crashes to build-fuzz/
#   tests/fuzz/run.sh build             build only
#   ZEL_FUZZ_DIR                        build folder (default: build-fuzz)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
out=${ZEL_FUZZ_DIR:-$root/build-fuzz}
mode=${1:-replay}
seconds=${2:-60}
harnesses=(fuzz_capture fuzz_normalize fuzz_geometry)
cxx=${CXX_FUZZ:-clang++}
if ! command -v "$cxx" >/dev/null; then
  echo "run.sh: $cxx missing (scripts/setup.sh installs clang)" >&2
  exit 2
fi

# The geometry reader is the beamforming library's; the other harnesses drive the capture library.
sources() {
  case $1 in
    fuzz_geometry) echo "-I $root/beam $root/beam/geometry.cpp $root/beam/status.cpp -lpugixml" ;;
    *) echo "-I $root/lib $root/lib/*.cpp" ;;
  esac
}

build() {
  mkdir -p "$out"
  for h in "${harnesses[@]}"; do
    # shellcheck disable=SC2046 # the source list is split on purpose
    "$cxx" -std=c++20 -g -O1 -fno-omit-frame-pointer \
      -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
      "$root/tests/fuzz/$h.cpp" $(sources "$h") -pthread -o "$out/$h"
  done
}

# Every saved input once; a failure stops with the input named.
replay() {
  for h in "${harnesses[@]}"; do
    echo "== $h: $(find "$root/tests/fuzz/corpus/$h" -type f | wc -l) saved inputs"
    "$out/$h" -runs=0 "$root/tests/fuzz/corpus/$h"
  done
}

fuzz() {
  for h in "${harnesses[@]}"; do
    mkdir -p "$out/found/$h"
    echo "== $h: fuzzing for $seconds s"
    (cd "$out" && "./$h" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
      "found/$h" "$root/tests/fuzz/corpus/$h")
  done
}

case $mode in
  build) build ;;
  replay) build && replay ;;
  fuzz) build && fuzz ;;
  *)
    echo "usage: tests/fuzz/run.sh [replay | fuzz [seconds] | build]" >&2
    exit 2
    ;;
esac
