#!/usr/bin/env bash
# Builds the library and runs the example application on the virtual CAN card
# with the trace shown on the terminal.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target dnm_example -j2
export VELKCAN_NETWORK="${VELKCAN_NETWORK:-$root/examples/network.txt}"
export HYPERTRACE_FILE="${HYPERTRACE_FILE:-stderr}"
"$build/bin/dnm_example" "$@"
