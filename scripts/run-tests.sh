#!/usr/bin/env bash
# Installs the packages a fresh Debian or Ubuntu machine lacks (scripts/need-packages.sh;
# libsocketcan, abigail-tools, pytest, libmodbus and pymodbus where it can), builds everything and runs the whole test
# suite. With an argument "address" or "thread" the build and the run use that sanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
sanitize="${1:-}"
build="$root/build${sanitize:+-$sanitize}"
werror="${DNM_WERROR:-OFF}"
bash "$root/scripts/need-packages.sh" build --optional socketcan abi python modbus http browser mqtt
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DDNM_SANITIZE="$sanitize" -DDNM_WERROR="$werror" >/dev/null
cmake --build "$build" -j2
unset HYPERTRACE_FILE VELKCAN_NETWORK
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 atexit_sleep_ms=0 ${TSAN_OPTIONS:-}"
export ASAN_OPTIONS="detect_leaks=0 ${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1 ${UBSAN_OPTIONS:-}"
cd "$build"
ctest --output-on-failure -j"${DNM_TEST_JOBS:-4}" --timeout 300
