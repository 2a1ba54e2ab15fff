# Sourced by the scripts: starts the emulated array in the background and stops it on exit.
#   start_emulator ZELSIM LOG [ZELSIM OPTION]...   sets $sim to its process id
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
