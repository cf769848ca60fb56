#!/usr/bin/env bash
# Two checks on the sources that keep the interfaces honest, run on Linux:
# - each library exports exactly the names of its export list and nothing else (no template
#   instantiation of the C++ library, whatever the flags): libVELKCANDNM.so those of its version
#   script, each in its version node, the card and trace libraries those of their .def files
#   (their Windows exports);
# - nothing above the platform layer of the master library includes a system header.
set -uo pipefail
lib_dir=$1 root=$2
failed=0
check_exports() {  # LIBRARY LIST [--versions]
  if ! diff <(nm -D --defined-only "$lib_dir/$1" | awk '$2 != "A" {print $3}' | sort) \
            <(bash "$root/scripts/export-names.sh" ${3:-} "$2"); then
    echo "the exports of $1 differ from $2 (< library, > list)"
    failed=1
  fi
}
check_exports libVELKCANDNM.so "$root/src/api/VELKCANDNM.map" --versions
check_exports libVELKCAN.so "$root/candriver/VELKCAN.def"
check_exports libHYPERTRACE.so "$root/standins/hypertrace/HYPERTRACE.def"

system_headers='#include <(windows|unistd|pthread|dlfcn|fcntl|signal|poll|time|errno)\.h>|#include <sys/'
if grep -rEn "$system_headers" "$root/src" --include='*.cpp' --include='*.h' | grep -v "/src/platform/"; then
  echo "system headers above the platform layer (listed above)"
  failed=1
fi
exit $failed
