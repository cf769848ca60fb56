#!/usr/bin/env bash
# Installs the packages a fresh Debian or Ubuntu machine lacks (scripts/need-packages.sh),
# builds the library and the dnm tool and runs dnm against the example
# network of the virtual CAN card: a scan, one identity, a few seconds of
# live I/O and the status of every connection. With arguments, runs that one
# dnm command on the network instead; with options alone (--trace, --json...)
# runs the whole walk with them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
bash "$root/scripts/need-packages.sh" build
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target dnm dnm_example -j2
network="${VELKCAN_NETWORK:-$root/examples/network.txt}"

if [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; then
  "$build/bin/dnm" "$@" --network "$network"
  exit
fi
options=("$@")

dnm() {
  echo "\$ dnm $*${options[*]:+ ${options[*]}}"
  "$build/bin/dnm" "$@" "${options[@]}" --network "$network"
  echo
}

dnm scan
dnm get 3 1 1 7 --as string
dnm io 3 --poll 4 4 --write 11223344 --count 10
dnm io 7 --strobe 2 --rate 2 --count 8
dnm status 3:poll=4/4 7:strobe=2 9:cos=2/2 12
