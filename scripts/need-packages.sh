#!/usr/bin/env bash
# The Debian packages that the scripts need, in one list, and the check that installs the missing:
#   scripts/need-packages.sh [--dry-run] GROUP... [--optional GROUP...]
# A GROUP is one of those below, or a package by its name. What the groups before --optional lack
# is installed with apt-get, as root or through sudo, or the script stops with the command to run.
# What the optional groups lack is installed where that works and skipped with a note where not.
# --dry-run (or DNM_DRY_RUN set, not to 0) prints what would be installed and installs nothing.
set -euo pipefail
declare -A packages=(
  [build]="cmake ninja-build g++ libgtest-dev libgmock-dev pkg-config"
  [socketcan]="libsocketcan-dev"
  [fuzz]="clang libclang-rt-14-dev"
  [abi]="abigail-tools"
  [windows]="mingw-w64 wine64"
  [windows32]="wine32:i386"
  [python]="python3-pytest python3-can"
  [coverage]="gcovr"
  [modbus]="libmodbus-dev python3-pymodbus"
  [http]="libcpp-httplib-dev"
  [browser]="chromium chromium-driver python3-selenium"
  [mqtt]="libmosquitto-dev mosquitto mosquitto-clients"
  [kernelcan]="qemu-system-x86 linux-image-amd64 busybox-static can-utils iproute2 kmod cpio"
)
# apt-get options of a group: the kernel lane needs none of QEMU's GUI, firmware or block drivers;
# the 32-bit Wine runs console programs only.
declare -A apt_options=(
  [kernelcan]="--no-install-recommends"
  [windows32]="--no-install-recommends"
)
declare -A use=(
  [build]="to build the library, the dnm tool and the tests"
  [socketcan]="so that SocketCAN ports can set their bit rate"
  [fuzz]="to build the fuzz targets with clang, ASan and UBSan"
  [abi]="to compare the library's binary interface with its baseline (abidw, abidiff)"
  [windows]="for the Windows lane: the MinGW-w64 cross-build, run under Wine"
  [windows32]="to run the 32-bit Windows programs under Wine (needs: dpkg --add-architecture i386)"
  [python]="to run the Python package's tests, python-can's interface among them"
  [coverage]="to measure the tests' line and branch coverage (scripts/run-coverage.sh)"
  [modbus]="for dnm run --modbus (libmodbus) and its tests and benchmark (pymodbus's client)"
  [http]="for dnm run --http, the web view (cpp-httplib)"
  [browser]="to test the web view in a real browser (headless Chromium driven by Selenium)"
  [mqtt]="for dnm run --mqtt (libmosquitto), and a real broker and clients for its tests"
  [kernelcan]="for the kernel CAN lane: a Linux kernel with CAN modules booted under QEMU"
)
dry_run=0 into=required required=() optional=()
[ "${DNM_DRY_RUN:-0}" = 0 ] || dry_run=1
for word; do
  case $word in
    --dry-run) dry_run=1 ;;
    --optional) into=optional ;;
    *) if [ "$into" = required ]; then required+=("$word"); else optional+=("$word"); fi ;;
  esac
done

if ! command -v dpkg >/dev/null; then
  echo "packages: no dpkg on this system, so no package is checked or installed"
  for cmd in cmake ninja "${CXX:-c++}"; do
    command -v "$cmd" >/dev/null ||
      { echo "packages: no $cmd: install CMake 3.25, Ninja, a C++20 compiler and GoogleTest" >&2; exit 1; }
  done
  exit 0
fi

if [ "$(id -u)" = 0 ]; then as_root=(env) how=", with apt-get"
elif command -v sudo >/dev/null; then as_root=(sudo env) how=", with apt-get through sudo"
else as_root=() how=""
fi
if [ "$dry_run" = 1 ]; then verb="would install"
elif [ -n "$how" ]; then verb="installing"
else verb="missing"
fi
updated=0
apt_install() {  # [OPTION...] PACKAGE...: apt-get update (once), then apt-get install
  if [[ " $* " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${as_root[@]}" dpkg --add-architecture i386 || return
    updated=0
  fi
  if [ "$updated" = 0 ]; then
    "${as_root[@]}" DEBIAN_FRONTEND=noninteractive apt-get update -qq || return
    updated=1
  fi
  "${as_root[@]}" DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@"
}
lacks() {  # GROUP: sets missing to the group's packages that are not installed
  missing=()
  local pkg
  for pkg in ${packages[$1]:-$1}; do dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg"); done
  if [ ${#missing[@]} = 0 ] && [ "$dry_run" = 1 ]; then echo "$1: nothing missing (${packages[$1]:-$1})"; fi
}

need=()
for group in "${required[@]}"; do
  lacks "$group"
  [ ${#missing[@]} = 0 ] || echo "$group: $verb ${missing[*]}, ${use[$group]:-asked for by name}$how"
  need+=("${missing[@]}")
done
command="apt-get update && apt-get install -y ${need[*]}"
if [ ${#need[@]} -gt 0 ] && [ "$dry_run" = 0 ]; then
  if [ -z "$how" ]; then echo "packages: neither root nor sudo here; as root, run: $command" >&2; exit 1; fi
  apt_install "${need[@]}" || { echo "packages: could not install them; as root, run: $command" >&2; exit 1; }
fi

for group in "${optional[@]}"; do
  lacks "$group"
  [ ${#missing[@]} -gt 0 ] || continue
  if [ -z "$how" ] && [ "$dry_run" = 0 ]; then
    echo "$group: skipped ${missing[*]} (optional, ${use[$group]:-asked for by name}): neither root nor sudo here"
    continue
  fi
  echo "$group: $verb ${missing[*]} (optional, ${use[$group]:-asked for by name})$how"
  [ "$dry_run" = 1 ] || apt_install ${apt_options[$group]:-} "${missing[@]}" >/dev/null ||
    echo "$group: could not install ${missing[*]}; going on without them"
done
