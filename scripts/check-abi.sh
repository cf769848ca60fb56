#!/usr/bin/env bash
# The binary interface of libVELKCANDNM.so against the released one, src/api/libVELKCANDNM.abi
# (abidw and abidiff, Debian package abigail-tools):
#   scripts/check-abi.sh [BUILD_DIR | LIBRARY]           compares, and prints abidiff's report
#   scripts/check-abi.sh --update [BUILD_DIR | LIBRARY]  writes the baseline (a release does this)
# BUILD_DIR defaults to build/; LIBRARY may also be an abidw file. DNM_ABI_BASELINE names another
# baseline. The comparison fails (1) when a function or type of the baseline is removed or
# changed; added functions pass and are reported. Without abidiff it says so and exits with 77.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
baseline="${DNM_ABI_BASELINE:-$root/src/api/libVELKCANDNM.abi}"
update=0
if [ "${1:-}" = --update ]; then update=1; shift; fi
library="${1:-$root/build}"
[ -f "$library" ] || library="$library/lib/libVELKCANDNM.so"
if ! command -v abidiff >/dev/null; then
  echo "abi: not compared, abidiff is missing (apt-get install abigail-tools)"
  exit 77
fi
if [ "$update" = 1 ]; then
  # The exported functions and the types they reach, without the paths of this checkout.
  abidw --exported-interfaces-only --no-show-locs --no-corpus-path --headers-dir "$root/include" \
    "$library" | sed "s|'$root/|'|g" >"$baseline"
  echo "abi: wrote $baseline from $library"
  exit 0
fi

status=0
report=$(abidiff --exported-interfaces-only --headers-dir2 "$root/include" "$baseline" "$library") ||
  status=$?
echo "$report"
# abidiff's exit status: 4 for any change, 8 more for one that surely breaks callers, 1 and 2
# for its own errors. A changed function, type or variable may break callers too.
if (( status & 11 )) || grep -Eq '(^|[^0-9])[1-9][0-9]* (Removed|Changed)' <<<"$report"; then
  echo "abi: $library is incompatible with $baseline (abidiff status $status, report above)"
  exit 1
fi
if (( status & 4 )); then
  echo "abi: compatible with $baseline, with additions (report above)"
else
  echo "abi: the same as $baseline"
fi
