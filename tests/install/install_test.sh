#!/usr/bin/env bash
# install_test.sh BUILD_DIR SOURCE_DIR C_COMPILER [SANITIZER]
# Installs BUILD_DIR into a scratch prefix, checks the shared library's SONAME and exports, then
# builds and runs consumer.c once through find_package(zel) and once through pkg-config.
set -euo pipefail
build=$1
here=$2
cc=$3
sanitize=${4:-}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# A sanitized library needs its runtime in the program that loads it.
flags=()
case "$sanitize" in
  address) flags=(-fsanitize=address,undefined) ;;
  thread) flags=(-fsanitize=thread) ;;
esac

cmake --install "$build" --prefix "$prefix" >/dev/null

[ -f "$prefix/include/zellib.h" ] || fail "zellib.h not installed"
libdir=$(dirname "$(find "$prefix" -name libzel.so -print -quit)")
[ -n "$libdir" ] && [ "$libdir" != . ] || fail "libzel.so not installed"
[ -f "$libdir/libzel.a" ] || fail "libzel.a not installed"
[ -f "$libdir/pkgconfig/zel.pc" ] || fail "zel.pc not installed"

soname=$(objdump -p "$libdir/libzel.so" | awk '$1 == "SONAME" {print $2}')
[ "$soname" = libzel.so.1 ] || fail "SONAME is '$soname', expected libzel.so.1"
[ -e "$libdir/$soname" ] || fail "$soname not installed"

# Only the public calls leave the shared library.
leaked=$(nm -D --defined-only "$libdir/libzel.so" | awk '$2 == "T" && $3 !~ /^zel(array|cursor)_/ {print $3}')
[ -z "$leaked" ] || fail "non-public functions exported: $leaked"
for call in zelarray_create zelarray_decode_samples zelarray_decode_samples_float; do
  nm -D --defined-only "$libdir/libzel.so" | awk -v c="$call" '$2 == "T" && $3 == c {f = 1} END {exit !f}' ||
    fail "$call not exported"
done

echo "== find_package(zel)"
cmake -S "$here/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="${flags[*]}" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
LD_LIBRARY_PATH="$libdir" "$work/cmake-build/consumer" || fail "CMake-built consumer failed"
ldd "$work/cmake-build/consumer_static" | grep -q libzel && fail "zel::zel_static links libzel.so"
"$work/cmake-build/consumer_static" || fail "CMake-built static consumer failed"

echo "== pkg-config zel"
pc_flags=$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs zel)
echo "pkg-config: $pc_flags"
# shellcheck disable=SC2086
"$cc" -std=c99 -pedantic -Wall -Werror "${flags[@]}" "$here/consumer.c" -o "$work/consumer-pc" \
      $pc_flags || fail "pkg-config flags do not build the consumer"
LD_LIBRARY_PATH="$libdir" "$work/consumer-pc" || fail "pkg-config-built consumer failed"
echo "== python3 -c 'import zel'"
pydir=$(find "$prefix" -type d -name zel -path '*-packages/zel' -print -quit)
if [ -z "$sanitize" ] && [ -n "$pydir" ] && /usr/bin/python3 -c 'import numpy, cffi' 2>/dev/null; then
  found=$(cd / && env -u ZEL_LIBRARY PYTHONPATH="$(dirname "$pydir")" /usr/bin/python3 -c \
            'import zel; print(zel.library_path)') || fail "the installed package does not import"
  [ "$found" = "$libdir/libzel.so.1" ] || fail "the installed package loads $found"
  if [ -e "$libdir/libzelbeam.so.1" ]; then
    found=$(cd / && env -u ZEL_LIBRARY -u ZELBEAM_LIBRARY PYTHONPATH="$(dirname "$pydir")" \
              /usr/bin/python3 -c 'import zel.beam; print(zel.beam.library_path)') ||
      fail "the installed zel.beam does not import"
    [ "$found" = "$libdir/libzelbeam.so.1" ] || fail "the installed zel.beam loads $found"
  fi
elif [ -z "$pydir" ]; then
  fail "the Python package is not installed"
fi
echo "install: ok"
