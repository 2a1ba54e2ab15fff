#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need, when any is missing.
set -euo pipefail
packages=(cmake g++ make pkg-config googletest libgtest-dev libgmock-dev libbenchmark-dev
          libsndfile1-dev sox clang libclang-rt-14-dev stress-ng nftables iproute2 valgrind
          libncurses-dev tmux libhdf5-dev python3 python3-numpy python3-cffi python3-pytest
          python3-h5py python3-matplotlib python3-setuptools python3-pip python3-venv
          libfftw3-dev libpugixml-dev libcivetweb-dev libpng-dev chromium chromium-driver
          python3-selenium python3-pil nlohmann-json3-dev shellcheck pyflakes3 dpkg-dev file procps)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
