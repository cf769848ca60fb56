#!/usr/bin/env bash
# Cross-builds the Windows DLLs with MinGW-w64 (Debian package mingw-w64) into build-windows/bin:
# VELKCANDNM.dll with its import library VELKCANDNM.lib (in build-windows/src), the virtual card
# VELKCAN.dll, the trace library HYPERTRACE.DLL, the examples and the black-box program.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-windows"
if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  echo "build-windows: MinGW-w64 is missing (apt-get install mingw-w64)" >&2
  exit 77
fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DDNM_WERROR="${DNM_WERROR:-OFF}" >/dev/null
cmake --build "$build" -j2
echo "build-windows: the DLLs and programs are in $build/bin"
