#!/usr/bin/env bash
# Cross-builds the Windows pieces with mingw-w64: VhubVMic.sys (the driver),
# vhubctl.exe (the console tool on the SDK's Win32 back end) and the driver
# package folder (INF, .sys, tool), then checks the image's imports.
# Installs the cross compiler (Debian 12) when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}" >&2
  SUDO=""; [ "$(id -u)" = 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

build=${VHUB_WINDOWS_BUILD_DIR:-build/windows}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S windows -B "$build" -DCMAKE_TOOLCHAIN_FILE="$PWD/windows/mingw-w64-x86_64.cmake" >/dev/null
fi
cmake --build "$build" -j "${VHUB_JOBS:-2}"
windows/check-imports.sh "$build/VhubVMic.sys"
echo "driver package: $build/package"
