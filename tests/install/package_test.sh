#!/usr/bin/env bash
# package_test.sh BUILD_DIR
# Builds the Debian package of BUILD_DIR into a scratch folder, checks what it holds, extracts it
# into a scratch root and runs a tool from there against the library extracted beside it.
set -euo pipefail
build=$(cd "$1" && pwd)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

cpack -G DEB -B "$work" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
deb=$work/zel_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "no $(basename "$deb") among: $(ls "$work")"

echo "== dpkg-deb -c $(basename "$deb")"
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for wanted in ./usr/include/zellib.h ./usr/lib/libzel.so.1 ./usr/lib/libzel.a \
  ./usr/lib/pkgconfig/zel.pc ./usr/lib/cmake/zel/zelConfig.cmake ./usr/bin/zelrecord \
  ./usr/bin/zelmonitor ./usr/bin/zelnormalize ./usr/bin/zelsim ./usr/lib/sysctl.d/60-zel.conf; do
  grep -qx -- "$wanted" <<<"$contents" || fail "$wanted is not in the package"
done
grep -qE '^\./usr/lib/python3[^/]*/dist-packages/zel/__init__\.py$' <<<"$contents" ||
  fail "the Python package is not in the package"
grep -q '^Depends:.*libsndfile' < <(dpkg-deb -f "$deb") || fail "no dependency on libsndfile"

echo "== dpkg-deb -x into a scratch root"
root=$work/root
dpkg-deb -x "$deb" "$root"
grep -qx 'net.core.rmem_max = 8388608' "$root/usr/lib/sysctl.d/60-zel.conf" ||
  fail "the sysctl snippet does not raise net.core.rmem_max to 8 MiB"
# An installed program finds the library on the system's path, never in the build tree.
if readelf -d "$root/usr/bin/zelrecord" | grep -qE 'RPATH|RUNPATH'; then
  fail "zelrecord carries a search path: $(readelf -d "$root/usr/bin/zelrecord" | grep PATH)"
fi
export LD_LIBRARY_PATH=$root/usr/lib
loaded=$(ldd "$root/usr/bin/zelrecord" | awk '$1 == "libzel.so.1" {print $3}')
[ "$loaded" = "$root/usr/lib/libzel.so.1" ] || fail "zelrecord loads libzel.so.1 from '$loaded'"
"$root/usr/bin/zelrecord" --help | grep -q '^Usage: zelrecord' || fail "zelrecord --help failed"
"$root/usr/bin/zelrecord" --help | grep -q -- '--no-realtime' || fail "zelrecord is not this build's"
echo "package: ok"
