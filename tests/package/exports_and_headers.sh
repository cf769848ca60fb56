#!/usr/bin/env bash
# Two checks on the sources that keep the Windows build honest, run on Linux:
# - each library's .def file (its Windows exports) names exactly what the Linux library exports;
# - nothing above the platform layer of the master library includes a system header.
set -uo pipefail
lib_dir=$1 root=$2
failed=0
check_def() {  # LIBRARY DEF
  if ! diff <(nm -D --defined-only "$lib_dir/$1" | awk '$2 == "T" {print $3}' | sort) \
            <(awk '/^EXPORTS/ {on = 1; next} on && NF {print $1}' "$2" | sort); then
    echo "the exports of $1 differ from $2 (< library, > .def file)"
    failed=1
  fi
}
check_def libVELKCANDNM.so "$root/src/api/VELKCANDNM.def"
check_def libVELKCAN.so "$root/candriver/VELKCAN.def"
check_def libHYPERTRACE.so "$root/standins/hypertrace/HYPERTRACE.def"

system_headers='#include <(windows|unistd|pthread|dlfcn|fcntl|signal|poll|time|errno)\.h>|#include <sys/'
if grep -rEn "$system_headers" "$root/src" --include='*.cpp' --include='*.h' | grep -v "/src/platform/"; then
  echo "system headers above the platform layer (listed above)"
  failed=1
fi
exit $failed
