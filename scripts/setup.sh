#!/usr/bin/env bash
# Installs every Debian package needed to build, test and run the project.
# Safe to run again: it installs only what is missing.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config ccache clang libclang-rt-14-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libusb-1.0-0-dev libhidapi-dev libcurl4-openssl-dev zlib1g-dev nettle-dev
  libzmq3-dev libczmq-dev nlohmann-json3-dev
  python3 iproute2 util-linux openssl
  man-db groff-base file dpkg-dev
  umockdev gir1.2-umockdev-1.0 python3-gi
  lpc21isp imx-usb-loader
  ansible-core
  abigail-tools doxygen
  python3-dev pybind11-dev python3-pybind11 python3-pytest
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
