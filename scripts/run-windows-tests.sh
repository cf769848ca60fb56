#!/usr/bin/env bash
# The Windows lane: cross-builds with scripts/build-windows.sh, checks that every export of the
# three DLLs keeps its plain name, and runs the black-box program and the example application
# under Wine. Where MinGW-w64 or Wine is missing it says so and succeeds without running.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin="$root/build-windows/bin"
status=0
bash "$root/scripts/build-windows.sh" || status=$?
if [ "$status" = 77 ]; then echo "windows: skipped, MinGW-w64 is missing"; exit 0; fi
[ "$status" = 0 ] || exit "$status"

# Each DLL's export table against its .def file: the same names, none decorated.
check_exports() {
  local dll=$1 def=$2
  diff <(x86_64-w64-mingw32-objdump -p "$bin/$dll" |
           sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/^\t\[/ {print $NF}' | sort) \
       <(awk '/^EXPORTS/ {on=1; next} on && NF {print $1}' "$def" | sort) ||
    { echo "windows: the exports of $dll differ from $def"; return 1; }
  echo "windows: $dll exports $(grep -c . <(awk '/^EXPORTS/ {on=1; next} on && NF' "$def")) plain names"
}
check_exports VELKCANDNM.dll "$root/src/api/VELKCANDNM.def"
check_exports VELKCAN.dll "$root/candriver/VELKCAN.def"
check_exports HYPERTRACE.DLL "$root/standins/hypertrace/HYPERTRACE.def"
# The DLLs carry their C++ runtime: they import only the system's own DLLs.
for dll in VELKCANDNM.dll VELKCAN.dll HYPERTRACE.DLL; do
  imports=$(x86_64-w64-mingw32-objdump -p "$bin/$dll" | awk '/DLL Name:/ {print $3}' | tr '\n' ' ')
  if grep -Eiq "lib(stdc|gcc|winpthread)" <<<"$imports"; then
    echo "windows: $dll needs a runtime DLL: $imports"; exit 1
  fi
  echo "windows: $dll imports $imports"
done

if ! command -v wine >/dev/null; then
  echo "windows: programs not run, Wine is missing (apt-get install wine64)"
  exit 0
fi
export WINEDEBUG=-all WINEPREFIX="${WINEPREFIX:-$root/build-windows/wineprefix}"
unset HYPERTRACE_FILE
run() {  # run NETWORK PROGRAM: the program under Wine on that network, within 5 minutes
  echo "== windows: $2 on $1"
  VELKCAN_NETWORK="$1" timeout 300 wine "$bin/$2"
}
run "$root/tests/blackbox/network.txt" dnm_blackbox.exe
run "$root/examples/network.txt" dnm_example.exe >"$root/build-windows/example.out"
tail -3 "$root/build-windows/example.out"
for name in attributes polled_io cos device_recovery; do
  run "$root/examples/$name-network.txt" "example_$name.exe" >"$root/build-windows/$name.out"
done

# A process node and a shared segment need POSIX: their lines are refused with the reason, the
# rest of the card works.
network="$root/build-windows/process-network.txt"
{ cat "$root/tests/blackbox/network.txt"; echo 'process segment=vcan0.1 exec="true"'
  echo 'segment spare shared=spare.sock'; } >"$network"
run "$network" dnm_blackbox.exe >/dev/null 2>"$root/build-windows/process.err"
[ "$(grep -c "needs a POSIX system" "$root/build-windows/process.err")" = 2 ] ||
  { echo "windows: the process or shared line was not refused"; cat "$root/build-windows/process.err"; exit 1; }
echo "windows: a process line is refused: $(grep -m1 "POSIX" "$root/build-windows/process.err")"
