#!/usr/bin/env bash
# Cross-builds the Windows DLLs with MinGW-w64 (Debian package mingw-w64):
#   scripts/build-windows.sh [64|32]   (both when no argument is given)
# 64-bit into build-windows/bin, 32-bit into build-windows-i686/bin: VELKCANDNM.dll with its
# import library VELKCANDNM.lib (in the build's src/), the virtual card VELKCAN.dll, the trace
# library HYPERTRACE.DLL, the examples and the black-box program.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_one() {  # BITS
  local triple=x86_64-w64-mingw32 toolchain=mingw-w64.cmake build="$root/build-windows"
  if [ "$1" = 32 ]; then
    triple=i686-w64-mingw32 toolchain=mingw-w64-i686.cmake build="$root/build-windows-i686"
  fi
  if ! command -v "$triple-g++-posix" >/dev/null; then
    echo "build-windows: MinGW-w64 is missing (apt-get install mingw-w64)" >&2
    exit 77
  fi
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" -DDNM_WERROR="${DNM_WERROR:-OFF}" >/dev/null
  cmake --build "$build" -j2
  echo "build-windows: the $1-bit DLLs and programs are in $build/bin"
}
case "${1:-both}" in
  64 | 32) build_one "$1" ;;
  both) build_one 64 && build_one 32 ;;
  *) echo "usage: scripts/build-windows.sh [64|32]" >&2; exit 2 ;;
esac
