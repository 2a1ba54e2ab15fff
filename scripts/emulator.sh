#!/usr/bin/env bash
# Sourced by the scripts: builds the project unless told not to, starts the emulated array in the
# background and stops it on exit.
#   build_unless_told ROOT BUILD   set-up and build, skipped when ZEL_DEMO_NO_BUILD is 1
#   start_emulator ZELSIM LOG [ZELSIM OPTION]...   sets $sim to its process id
build_unless_told() {
  local root=$1 build=$2
  [ "${ZEL_DEMO_NO_BUILD:-0}" != 1 ] || return 0
  echo "setting up and building into $build"
  "$root/scripts/setup.sh"
  cmake -S "$root" -B "$build" >/dev/null
  cmake --build "$build" -j"$(nproc)" >/dev/null
}

start_emulator() {
  local zelsim=$1 log=$2
  shift 2
  "$zelsim" "$@" 2>"$log" &
  sim=$!
  trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true' EXIT
  for _ in $(seq 50); do
    grep -q '^zelsim: array' "$log" && return 0
    kill -0 "$sim" 2>/dev/null || { cat "$log" >&2; exit 1; }
    sleep 0.1
  done
}
