#!/usr/bin/env bash
# The Windows lane, for 64-bit and 32-bit Windows: cross-builds both with scripts/build-windows.sh,
# checks that every export of the three DLLs keeps its plain name and that each export, declared
# as its header declares it, links against the DLL's import library (on 32-bit Windows that checks
# the __stdcall argument sizes), and runs the black-box program and the example application under
# Wine. Where MinGW-w64 or a Wine for a width is missing it says so and succeeds without running.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
status=0
bash "$root/scripts/build-windows.sh" || status=$?
if [ "$status" = 77 ]; then echo "windows: skipped, MinGW-w64 is missing"; exit 0; fi
[ "$status" = 0 ] || exit "$status"

# Each DLL's export table against its export list: the same names, none decorated.
check_exports() {  # DLL LIST
  diff <("$triple-objdump" -p "$bin/$1" |
           sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/^\t\[/ {print $NF}' | sort) \
       <(bash "$root/scripts/export-names.sh" "$2") ||
    { echo "windows: the exports of $1 differ from $2"; return 1; }
  echo "windows: $bits-bit $1 exports $(bash "$root/scripts/export-names.sh" "$2" | grep -c .) plain names"
}
# A program that takes the address of every export of LIST, declared by the HEADERs, links.
check_links() {  # IMPORT_LIBRARY LIST HEADER...
  local program="$build/links.c" header
  { for header in "${@:3}"; do echo "#include \"$header\""; done
    echo "void* const entries[] = {"
    bash "$root/scripts/export-names.sh" "$2" | sed 's/.*/  (void*)\&&,/'
    echo "};"
    echo "int main(void) { return entries[0] == 0; }"
  } >"$program"
  "$triple-gcc" -I"$root/include" -I"$root/candriver/include" -I"$root/standins/hypertrace" \
    "$program" "$build/$1" -o "$build/links.exe" ||
    { echo "windows: the exports of $1 do not link as their header declares them"; return 1; }
}
check_dlls() {
  check_exports VELKCANDNM.dll "$root/src/api/VELKCANDNM.map"
  check_exports VELKCAN.dll "$root/candriver/VELKCAN.def"
  check_exports HYPERTRACE.DLL "$root/standins/hypertrace/HYPERTRACE.def"
  check_links src/VELKCANDNM.lib "$root/src/api/VELKCANDNM.map" VELKCANDNM.h
  check_links candriver/VELKCAN.lib "$root/candriver/VELKCAN.def" VELKCAN.h vcan_test.h
  check_links standins/hypertrace/HYPERTRACE.lib "$root/standins/hypertrace/HYPERTRACE.def" HyperTrace.h
  echo "windows: $bits-bit exports link as the headers declare them"
  # The DLLs carry their C++ runtime: they import only the system's own DLLs.
  local dll imports
  for dll in VELKCANDNM.dll VELKCAN.dll HYPERTRACE.DLL; do
    imports=$("$triple-objdump" -p "$bin/$dll" | awk '/DLL Name:/ {print $3}' | tr '\n' ' ')
    if grep -Eiq "lib(stdc|gcc|winpthread)" <<<"$imports"; then
      echo "windows: $dll needs a runtime DLL: $imports"; return 1
    fi
    echo "windows: $bits-bit $dll imports $imports"
  done
}

run() {  # run NETWORK PROGRAM: the program under Wine on that network, within 5 minutes
  echo "== windows: $bits-bit $2 on $1"
  VELKCAN_NETWORK="$1" timeout 300 "$loader" "$bin/$2"
}
run_programs() {
  run "$root/tests/blackbox/network.txt" dnm_blackbox.exe
  run "$root/examples/network.txt" dnm_example.exe >"$build/example.out"
  tail -3 "$build/example.out"
  local name
  for name in attributes polled_io cos device_recovery; do
    run "$root/examples/$name-network.txt" "example_$name.exe" >"$build/$name.out"
  done
  # A process node and a shared segment need POSIX: their lines are refused with the reason,
  # the rest of the card works.
  local network="$build/process-network.txt"
  { cat "$root/tests/blackbox/network.txt"; echo 'process segment=vcan0.1 exec="true"'
    echo 'segment spare shared=spare.sock'; } >"$network"
  run "$network" dnm_blackbox.exe >/dev/null 2>"$build/process.err"
  [ "$(grep -c "needs a POSIX system" "$build/process.err")" = 2 ] ||
    { echo "windows: the process or shared line was not refused"; cat "$build/process.err"; return 1; }
  echo "windows: a process line is refused: $(grep -m1 "POSIX" "$build/process.err")"
}

export WINEDEBUG=-all
unset HYPERTRACE_FILE
for bits in 64 32; do
  triple=x86_64-w64-mingw32 build="$root/build-windows"
  wine=(WINEPREFIX="${WINEPREFIX:-$build/wineprefix}")
  if [ "$bits" = 32 ]; then
    # A Wine prefix of its own, for 32-bit Windows only: quicker to make than a 64-bit one.
    triple=i686-w64-mingw32 build="$root/build-windows-i686"
    wine=(WINEARCH=win32 WINEPREFIX="$build/wineprefix")
  fi
  bin="$build/bin"
  check_dlls
  # Each width runs under its own loader: the "wine" wrapper picks the 32-bit one whenever it
  # is installed, even on a kernel that cannot run 32-bit programs.
  loader=/usr/lib/wine/wine64
  [ "$bits" = 32 ] && loader=/usr/lib/wine/wine
  if [ ! -x "$loader" ]; then
    echo "windows: $bits-bit programs not run, Wine's $bits-bit loader is missing" \
      "(apt-get install wine64; for 32-bit: dpkg --add-architecture i386; apt-get install wine32:i386)"
  elif ! "$loader" --version >/dev/null 2>&1; then
    echo "windows: $bits-bit programs not run, this kernel cannot run Wine's $bits-bit loader" \
      "($("$loader" --version 2>&1 | head -1))"
  else
    (export "${wine[@]}" WINELOADER="$loader"; run_programs)
  fi
done
