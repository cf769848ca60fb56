#!/usr/bin/env bash
# export-names.sh [--versions] FILE: the names that a library's export list gives it, sorted,
# one a line: FILE is a Windows .def file or a linker version script (src/api/VELKCANDNM.map);
# with --versions each name of a version script carries its node, as NAME@@NODE.
set -euo pipefail
versions=0
if [ "$1" = --versions ]; then versions=1; shift; fi
awk -v versions="$versions" '
  /^EXPORTS/ { def = 1; next }
  def && NF && $1 !~ /^;/ { print $1; next }
  /^[A-Za-z_][A-Za-z0-9_.]* *\{/ { node = $1 }
  /^[ \t]+[A-Za-z_][A-Za-z0-9_]*;/ { sub(/;.*/, ""); print $1 (versions ? "@@" node : "") }
' "$1" | sort
